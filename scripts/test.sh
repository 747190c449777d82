#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test twice: an optimised build, then an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
# Folders include only the folders below them (ARCHITECTURE.md).
python3 scripts/check-folders.py

run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    ninja -C "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== optimised build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== the examples, against a fresh install"
bash scripts/examples.sh
echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:print_suppressions=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUZODORIV_SANITIZE=ON
