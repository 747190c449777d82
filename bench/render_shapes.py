#!/usr/bin/env python3
"""Renders a 6000 x 4000 document of three opaque, soft-edged discs, each given one effect of the
editor's defaults, twice: the time of each render, for the process's peak memory under
/usr/bin/time. The document is made once, in bench/.work/docs/shapes.psd.
Usage: PYTHONPATH=build/python bench/render_shapes.py [EFFECT]"""
import os
import sys
import time
import warnings

import numpy as np
import zuzodoriv

warnings.simplefilter("ignore")
path = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".work/docs/shapes.psd")
if not os.path.exists(path):
    w, h = 6000, 4000
    made = zuzodoriv.Document.new(w, h)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    for k, (cx, cy, r) in enumerate([(1500, 1500, 1200), (3500, 2200, 1500), (4800, 1200, 900)]):
        # A disc with an anti-aliased edge over a photo-like ramp of colour.
        alpha = np.clip(r + 0.5 - np.hypot(xx - cx, yy - cy), 0, 1)
        px = np.empty((h, w, 4), np.uint8)
        px[..., 0] = (xx * 255 / w).astype(np.uint8)
        px[..., 1] = (yy * 255 / h).astype(np.uint8)
        px[..., 2] = 80 * k
        px[..., 3] = (alpha * 255 + 0.5).astype(np.uint8)
        made.add_layer("disc %d" % k, px)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    made.save(path)
    sys.exit("made " + path + ": run again to measure")
doc = zuzodoriv.open(path)
for layer in doc.layers:
    if len(sys.argv) > 1:
        layer.add_effect(sys.argv[1])
for i in range(2):
    t = time.time()
    doc.render()
    print("render %.2f s" % (time.time() - t))
