"""Reads a document with python3-psd-tools (Debian), decodes every pixel layer and the composite,
then saves it: psdtools-write.py IN OUT. This version of psd-tools cannot build layers from
pixels, so its save writes the records it read (channel data as stored) again."""
import sys

from psd_tools import PSDImage

psd = PSDImage.open(sys.argv[1])
for layer in psd.descendants():
    if layer.has_pixels():
        layer.numpy()
psd.numpy()
psd.save(sys.argv[2])
