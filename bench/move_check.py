"""Moves a layer of each corpus document, saves the document and reads it again: the render of the
document read back should be the render of the moved one in memory. Prints, per document, the
layer moved, the largest difference in levels and the pixels more than 2 levels apart; then the
same with the layer's opacity nudged on both sides, so that both draw a fill or shape from its
settings rather than from the pixels the editor stored for it (where the two drawings differ,
the first figures show that difference, not the move's).
    move_check.py CORPUS [KIND] [LIMIT]
KIND picks the layers moved: "vector" (pixel layers with a vector mask, the default), "mask"
(layers with a raster mask), "shape" (fills shaped by a vector mask) or "type"."""
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

import zuzodoriv


def wanted(layer, kind):
    if layer.width == 0 or layer.is_group:
        return False
    if kind == "vector":
        return layer.kind == "pixel" and bool(layer.vector_mask)
    if kind == "shape":
        return layer.kind == "shape"
    if kind == "type":
        return layer.kind == "type"
    return layer.user_mask is not None


def apart(a, b):
    levels = np.abs(a - b).max(-1)
    return levels.max(), (levels > 2).sum()


def main(corpus, kind="vector", limit=12):
    warnings.simplefilter("ignore")
    out = Path(tempfile.mkdtemp()) / "moved.psd"
    done = 0
    for path in sorted(Path(corpus).rglob("*.psd")):
        if done >= limit:
            break
        try:
            doc = zuzodoriv.open(path)
        except Exception:
            continue
        layer = next((l for l in doc.descendants() if wanted(l, kind)), None)
        if layer is None or doc.width * doc.height > 4_000_000:
            continue
        index = layer.index
        layer.move_to(layer.left + 3, layer.top + 1)
        before = doc.render().astype(int)
        doc.save(out)
        back = zuzodoriv.open(out)
        after = back.render().astype(int)
        first = apart(before, after)
        for l in (layer, back.records()[index]):
            l.opacity = 254 if l.opacity == 255 else 255
        second = apart(doc.render().astype(int), back.render().astype(int))
        print("%s | %s (%s) | %d | %d | %d | %d" % (path.relative_to(corpus), layer.name, layer.kind, *first, *second))
        done += 1


if __name__ == "__main__":
    main(sys.argv[1], *(sys.argv[2:3]), *(int(a) for a in sys.argv[3:4]))
