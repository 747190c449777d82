#!/usr/bin/env bash
# Rendering speed and memory on the benchmark documents: `zuzodoriv render` against decoding every
# layer (`zuzodoriv verify`) and against the independent Python reader's composite(force=True).
#   bench/render-speed.sh [DOCS] [ZUZODORIV]   (DOCS: bench/make_docs.py's folder)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
docs=${1:-$here/.work/docs}
tool=${2:-$here/../build/zuzodoriv}
measure() {  # prints "seconds peak-MB" of the command
    /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1 | awk '{ printf "%.2f s, %.0f MB", $1, $2 / 1024 }'
}
echo "| document | render | verify | psd-tools composite(force=True) |"
echo "|---|---|---|---|"
for doc in rgb8.psd rgb16.psd many.psd; do
    f=$docs/$doc
    [ -f "$f" ] || continue
    r=$(measure "$tool" render "$f" -o /tmp/render-speed.png)
    v=$(measure "$tool" verify "$f")
    p=$(measure timeout 1800 /usr/bin/python3 -c "
import sys
from psd_tools import PSDImage
PSDImage.open(sys.argv[1]).composite(force=True)" "$f")
    echo "| $doc | $r | $v | $p |"
done
