#!/usr/bin/env bash
# Installs dependencies, builds the tool, and shows what the sample document holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" zuzodoriv_cli
./build/zuzodoriv info samples/sample.psd
