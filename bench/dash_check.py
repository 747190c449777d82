"""Dashed shape strokes drawn from the model against the editor's drawings of them: each corpus layer
below is rendered alone as read (the editor's stored drawing), then moved down a pixel (so drawn from
the model) and rendered again; over the pixels either touches, the share whose channels all lie within
16 levels once the second is moved back.
    PYTHONPATH=build/python /usr/bin/python3 bench/dash_check.py [CORPUS]"""
import sys
import warnings

import numpy as np
import zuzodoriv

warnings.simplefilter("ignore")
corpus = sys.argv[1] if len(sys.argv) > 1 else "../shared/corpus"
layers = [("psd-tools/tests/psd_files/stroke.psd", "Rectangle 1"),
          ("psd-tools/tests/psd_files/stroke.psd", "Ellipse 1"),
          ("ag-psd/test/read/vector-complex/src.psd", "Shape 1")]
for path, name in layers:
    doc = zuzodoriv.open(f"{corpus}/{path}")
    layer = next(l for l in doc.descendants() if l.name == name)
    stored = layer.render().astype(int)
    layer.move_by(0, 1)
    drawn = layer.render().astype(int)[1:]
    stored = stored[:drawn.shape[0]]
    touched = (stored[..., 3] > 0) | (drawn[..., 3] > 0)
    near = (np.abs(stored - drawn).max(axis=2) <= 16)[touched]
    print(f"{path} \"{name}\": {near.mean():.3f} of {touched.sum()} pixels")
