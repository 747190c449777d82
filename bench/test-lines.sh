#!/usr/bin/env bash
# Per-test line sets: runs each unit test alone, then the corpus runner, in the --coverage build
# that bench/coverage.sh left in OUT, and lists the tests whose every line of psd/ and host/ other
# tests (or the corpus runner) also reach, largest first, taken away one at a time so that the
# rest keep every line. A test listed is a candidate for removal, not proof: the mutation run
# still decides.
#
#   bench/test-lines.sh [OUT] [KEEP...]
#     OUT   the folder given to bench/coverage.sh (default /tmp/zuzodoriv-coverage)
#     KEEP  tests never listed (the only catchers of a mutant, say)
#   Writes OUT/tests/NAME.lines (file:line per reached line) and reuses those already there.
#   GTEST_SKIP  gtest negative filter (default: the external-reader tests)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/zuzodoriv-coverage}
[ $# -gt 0 ] && shift
skip=${GTEST_SKIP:-ExternalReaders*}
export ZUZODORIV_CORPUS=${ZUZODORIV_CORPUS:-$(cd "$root/../shared/corpus" && pwd)}
build=$work/build out=$work/tests
mkdir -p "$out"

# gcov's JSON is read directly: far faster than an lcov capture per test.
capture() {
    (cd "$build" && find CMakeFiles tests/CMakeFiles -name '*.gcda' -print0 |
        xargs -0 gcov --json-format --stdout 2>/dev/null) | python3 -c '
import json, re, sys
lines = set()
for text in sys.stdin:
    if not text.strip(): continue
    for f in json.loads(text)["files"]:
        m = re.search(r"/src/((psd|host)/.*)$", f["file"])
        if m: lines.update(m.group(1) + ":" + str(l["line_number"]) for l in f["lines"] if l["count"])
open(sys.argv[1], "w").write("\n".join(sorted(lines)) + "\n")' "$out/$1.lines"
}

cd "$build/tests"
if [ ! -s "$out/__corpus.lines" ]; then
    find "$build" -name '*.gcda' -delete
    ./zuzodoriv_corpus >/dev/null 2>&1 || true
    capture __corpus
fi
./zuzodoriv_tests --gtest_list_tests --gtest_filter="-$skip" |
    awk '/^[^ ]/ {suite = $1} /^  / {print suite $1}' | while read -r name; do
    [ -s "$out/$name.lines" ] && continue
    find "$build" -name '*.gcda' -delete
    ./zuzodoriv_tests --gtest_filter="$name" >/dev/null 2>&1 || true
    capture "$name"
done

python3 - "$out" "$root" "$@" <<'PY'
import collections, glob, os, re, sys
out, root, keep = sys.argv[1], sys.argv[2], set(sys.argv[3:])
size = {}
for path in glob.glob(os.path.join(root, "tests/**/*.cpp"), recursive=True):
    text = open(path, errors="replace").read().split("\n")
    for i, line in enumerate(text):
        m = re.match(r"^TEST(?:_F|_P)?\((\w+),\s*(\w+)\)", line)
        if m:
            j = text.index("}", i)
            size[m.group(1) + "." + m.group(2)] = sum(1 for l in text[i:j + 1] if l.strip())
sets = {os.path.basename(p)[:-6]: set(open(p).read().split()) for p in glob.glob(out + "/*.lines")}
count = collections.Counter(l for s in sets.values() for l in s)
total = 0
for name in sorted(sets, key=lambda n: -size.get(n, 0)):
    if name == "__corpus" or name in keep or not all(count[l] > 1 for l in sets[name]): continue
    for l in sets[name]: count[l] -= 1
    total += size.get(name, 0)
    print(f"{size.get(name, 0):5d} {name}")
print(f"{total:5d} test lines in all; lines reached by every test together: {len(count)}")
PY
