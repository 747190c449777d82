#!/usr/bin/env bash
# Line coverage of psd/ and host/ by the unit tests and the corpus runner, from a --coverage build
# of a copy of this tree (uncommitted edits included), so the tree's own builds are left alone.
#
#   bench/coverage.sh [--base REV] [OUT]
#     --base  measure the tree of commit REV instead of the working tree
#     OUT     folder for the copy, build and lcov data (default /tmp/zuzodoriv-coverage); prints
#             the totals and writes OUT/lines.info
#   GTEST_SKIP  gtest negative filter (default: the external-reader tests)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=
if [ "${1:-}" = --base ]; then
    base=$2
    shift 2
fi
work=${1:-/tmp/zuzodoriv-coverage}
skip=${GTEST_SKIP:-ExternalReaders*}
export ZUZODORIV_CORPUS=${ZUZODORIV_CORPUS:-$(cd "$root/../shared/corpus" && pwd)}

# The intrinsics passed as functions in the channel codec need -O2 to be inlined.
. "$root/bench/copy-tree.sh"
copy_tree "$root" "$base" "$work"

build=$work/build
cmake -S "$work/src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage >/dev/null
ninja -C "$build" -j2 zuzodoriv_tests zuzodoriv_corpus zuzodoriv_cli >"$work/build.log"
find "$build" -name '*.gcda' -delete
(cd "$build/tests" && ./zuzodoriv_tests --gtest_filter="-$skip" --gtest_brief=1 >"$work/unit.log" 2>&1)
(cd "$build/tests" && ./zuzodoriv_corpus >"$work/corpus.log" 2>&1)
lcov --quiet --capture --directory "$build" --base-directory "$work/src" --output-file "$work/all.info" \
    --rc lcov_branch_coverage=0 2>"$work/lcov.log"
lcov --quiet --extract "$work/all.info" "$work/src/psd/*" "$work/src/host/*" \
    --output-file "$work/lines.info" 2>>"$work/lcov.log"
for part in psd host; do
    lcov --quiet --extract "$work/lines.info" "$work/src/$part/*" --output-file "$work/$part.info" \
        2>>"$work/lcov.log"
    printf '%s: ' "$part/"
    lcov --summary "$work/$part.info" 2>&1 | grep 'lines\.'
done
printf 'both: '
lcov --summary "$work/lines.info" 2>&1 | grep 'lines\.'
