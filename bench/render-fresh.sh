#!/usr/bin/env bash
# Three renders of a freshly opened document in one process, each with the anonymous memory the
# render call added; then three `zuzodoriv verify -q` runs of the same file.
#   bench/render-fresh.sh FILE [BUILD]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${2:-$here/../build}
PYTHONPATH=$build/python /usr/bin/python3 "$here/render_call.py" "$1" 3
for i in 1 2 3; do "$build/zuzodoriv" verify -q "$1"; done
