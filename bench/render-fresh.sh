#!/usr/bin/env bash
# Renders of a freshly opened document, three in one process, each with the anonymous memory the
# render call added (sampled every 2 ms); then three `zuzodoriv verify -q` runs of the same file.
#   bench/render-fresh.sh FILE [BUILD]
set -euo pipefail
f=$1
build=${2:-$(cd "$(dirname "$0")/.." && pwd)/build}
PYTHONPATH=$build/python /usr/bin/python3 -c "
import sys, time, threading, zuzodoriv
def anon():
    for line in open('/proc/self/status'):
        if line.startswith('RssAnon:'): return int(line.split()[1])
for i in range(3):
    d = zuzodoriv.open(sys.argv[1])
    base, peak, running = anon(), [0], [True]
    def watch():
        while running[0]:
            peak[0] = max(peak[0], anon()); time.sleep(0.002)
    w = threading.Thread(target=watch); w.start()
    t = time.time(); d.render(); s = time.time() - t
    running[0] = False; w.join()
    print('render %.2f s, render call %.0f MB' % (s, (peak[0] - base) / 1024))
    del d
" "$f"
for i in 1 2 3; do "$build/zuzodoriv" verify -q "$f"; done
