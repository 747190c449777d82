#!/usr/bin/env python3
"""Renders a 6000 x 4000 document of three opaque, soft-edged discs, each given one effect of the
editor's defaults, twice: the time of each render, for the process's peak memory under
/usr/bin/time. With --masked, each disc's layer also has a user mask of its own (a rectangle with
a soft edge over most of the canvas), which the render decodes. The documents are made once, in
bench/.work/docs/shapes.psd and shapes-masked.psd.
With --layers=N, only the first N discs are given the effect.
Usage: PYTHONPATH=build/python bench/render_shapes.py [EFFECT] [--masked] [--layers=N]"""
import os
import sys
import time
import warnings

import numpy as np
import zuzodoriv

warnings.simplefilter("ignore")
masked = "--masked" in sys.argv
given = [int(a.split("=")[1]) for a in sys.argv[1:] if a.startswith("--layers=")]
args = [a for a in sys.argv[1:] if a != "--masked" and not a.startswith("--layers=")]
name = "shapes-masked.psd" if masked else "shapes.psd"
path = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".work/docs", name)
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
        mask = None
        if masked:
            # 255 inside a rectangle inset by 300 + 100 k pixels, falling to 0 over 40 pixels.
            inset = 300 + 100 * k
            d = np.minimum(np.minimum(xx - inset, w - inset - xx), np.minimum(yy - inset, h - inset - yy))
            mask = (np.clip(d / 40, 0, 1) * 255 + 0.5).astype(np.uint8)
        made.add_layer("disc %d" % k, px, mask=mask)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    made.save(path)
    sys.exit("made " + path + ": run again to measure")
doc = zuzodoriv.open(path)
for layer in doc.layers[: given[0] if given else None]:
    if args:
        layer.add_effect(args[0])
for i in range(2):
    t = time.time()
    doc.render()
    print("render %.2f s" % (time.time() - t))
