"""Decodes every layer and the composite of a document with python3-psd-tools (Debian).
With --open only the structure is read."""
import sys

from psd_tools import PSDImage

psd = PSDImage.open(sys.argv[1])
if "--open" not in sys.argv:
    n = 0
    for layer in psd.descendants():
        if layer.has_pixels():
            layer.numpy()
            n += 1
    psd.numpy()
    print("%d layers" % n)
