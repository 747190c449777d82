"""Times Document.render() on freshly opened documents and the anonymous memory each call adds
(the process's anonymous pages, the mapped file's left out, sampled every 2 ms above what they were
before it). Prints "seconds S" and "anon M MB" per render.
    render_call.py FILE [RENDERS] [SCALE]"""
import sys
import threading
import time

import zuzodoriv


def anon():
    for line in open("/proc/self/status"):
        if line.startswith("RssAnon:"):
            return int(line.split()[1])
    return 0


for _ in range(int(sys.argv[2]) if len(sys.argv) > 2 else 1):
    doc = zuzodoriv.open(sys.argv[1])
    base, peak, running = anon(), [0], [True]

    def watch():
        while running[0]:
            peak[0] = max(peak[0], anon())
            time.sleep(0.002)

    watcher = threading.Thread(target=watch)
    watcher.start()
    start = time.time()
    doc.render(scale=float(sys.argv[3]) if len(sys.argv) > 3 else 1.0)
    seconds = time.time() - start
    running[0] = False
    watcher.join()
    print("seconds %.2f" % seconds)
    print("anon %.0f MB" % ((peak[0] - base) / 1024))
    del doc
