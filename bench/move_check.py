"""Moves a layer of each corpus document, saves the document and reads it again: the render of the
document read back should be the render of the moved one in memory. Prints, per document, the
layer moved, the largest difference in levels and the pixels more than 2 levels apart.
    move_check.py CORPUS [KIND] [LIMIT]
KIND picks the layers moved: "vector" (pixel layers with a vector mask, the default) or "mask"
(layers with a raster mask)."""
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
    return layer.user_mask is not None


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
        layer.move_to(layer.left + 3, layer.top + 1)
        before = doc.render().astype(int)
        doc.save(out)
        after = zuzodoriv.open(out).render().astype(int)
        apart = np.abs(before - after).max(-1)
        print("%s | %s (%s) | %d | %d" % (path.relative_to(corpus), layer.name, layer.kind, apart.max(),
                                           (apart > 2).sum()))
        done += 1


if __name__ == "__main__":
    main(sys.argv[1], *(sys.argv[2:3]), *(int(a) for a in sys.argv[3:4]))
