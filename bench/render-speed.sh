#!/usr/bin/env bash
# Rendering speed and memory on the benchmark documents: the module's Document.render() against
# decoding every layer (`zuzodoriv verify`) and the independent Python reader's
# composite(force=True). Times are wall clock of the render call alone (opening left out), peaks
# are the whole process's; beside the render's, the anonymous memory the render call added.
#   bench/render-speed.sh [DOCS] [BUILD]   (DOCS: bench/make_docs.py's folder)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
docs=${1:-$here/.work/docs}
build=${2:-$here/../build}
timed() {  # the seconds the script prints, and the process's peak
    local out
    out=$( { /usr/bin/time -f "peak %M" "$@" 2>&1; } 2>&1)
    local anon=$(grep -o '^anon [0-9]* MB' <<<"$out" | cut -d' ' -f2-)
    echo "$(grep -o '^seconds [0-9.]*' <<<"$out" | cut -d' ' -f2) s, $(grep -o 'peak [0-9]*' <<<"$out" | awk '{ printf "%.0f MB", $2 / 1024 }')${anon:+ (render call: $anon)}"
}
echo "| document | Document.render() | verify (every layer decoded) | psd-tools composite(force=True) |"
echo "|---|---|---|---|"
for doc in rgb8.psd rgb16.psd many.psd grey8.psd cmyk8.psd; do
    f=$docs/$doc
    [ -f "$f" ] || continue
    # The render's own memory: the process's anonymous pages (the mapped file's left out),
    # sampled every 2 ms while it runs, above what they were before it.
    r=$(PYTHONPATH=$build/python timed /usr/bin/python3 "$here/render_call.py" "$f")
    v=$( { /usr/bin/time -f "%e %M" "$build/zuzodoriv" verify "$f" >/dev/null; } 2>&1 | tail -1 | awk '{ printf "%.2f s, %.0f MB", $1, $2 / 1024 }')
    p=$(timed timeout 1800 /usr/bin/python3 -c "
import sys, time
from psd_tools import PSDImage
d = PSDImage.open(sys.argv[1])
t = time.time(); d.composite(force=True); print('seconds %.2f' % (time.time() - t))" "$f")
    echo "| $doc | $r | $v | $p |"
done
