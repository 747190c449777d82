#!/usr/bin/env python3
"""Renders the 8-bit benchmark document (bench/.work/docs/rgb8.psd, made by bench/make_docs.py)
twice with one effect of the editor's defaults added to every fourth layer (three of its twelve
6000 x 4000 layers, whose alpha varies everywhere): the time of each render, for the process's
peak memory under /usr/bin/time. Without an effect, the document as it is.
Usage: PYTHONPATH=build/python bench/render_effects.py [EFFECT]"""
import sys
import time
import warnings

import zuzodoriv

warnings.simplefilter("ignore")
doc = zuzodoriv.open("bench/.work/docs/rgb8.psd")
layers = list(doc.descendants())
if len(sys.argv) > 1:
    for layer in layers[1::4]:
        layer.add_effect(sys.argv[1])
for i in range(2):
    t = time.time()
    doc.render()
    print("render %.2f s" % (time.time() - t))
