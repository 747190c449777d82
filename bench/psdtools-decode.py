"""Decodes every layer and the composite of a document with python3-psd-tools (Debian).
With --open only the structure is read."""
import sys
import time

from psd_tools import PSDImage

start = time.perf_counter()
psd = PSDImage.open(sys.argv[1])
if "--open" not in sys.argv:
    n = 0
    for layer in psd.descendants():
        if layer.has_pixels():
            layer.numpy()
            n += 1
    psd.numpy()
    # The last figure is the time from open to the last array, as bench/python-layers reads it.
    print("%d layers, %.3f s" % (n, time.perf_counter() - start))
