#!/usr/bin/env bash
# Installs dependencies, builds the tool and the Python module (installed into the system Python),
# and shows what the sample document holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$(nproc)" zuzodoriv_cli
if ninja -C build -t targets all | grep -q '^zuzodoriv_python:'; then
    ninja -C build -j"$(nproc)" zuzodoriv_python
    cmake --install build >/dev/null
fi
./build/zuzodoriv info samples/sample.psd
