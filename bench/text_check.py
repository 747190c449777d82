"""Draws every type layer of the corpus again from its text, unchanged, and compares the ink (the
pixels over half opaque) with the pixels the editor stored: how far its left edge, middle, top and
bottom land from the editor's, and how much of the two inks overlap (intersection over union of
their boxes). Fonts this machine lacks are drawn with substitutes, so widths differ; the table
says which layers had their own font.
    text_check.py CORPUS"""
import sys
import warnings
from pathlib import Path

import numpy as np

import zuzodoriv


def ink(layer):
    a = layer.numpy()
    if a is None or a.size == 0:
        return None
    ys, xs = np.nonzero(a[..., -1] > (127 if a.dtype == np.uint8 else 32767 if a.dtype == np.uint16 else 0.5))
    if len(xs) == 0:
        return None
    return (layer.left + xs.min(), layer.top + ys.min(), layer.left + xs.max() + 1, layer.top + ys.max() + 1)


def iou(a, b):
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    inter = max(w, 0) * max(h, 0)
    area = lambda r: (r[2] - r[0]) * (r[3] - r[1])
    return inter / (area(a) + area(b) - inter)


def main():
    root = Path(sys.argv[1])
    rows = []
    for path in sorted(root.rglob("*.ps[db]")):
        try:
            doc = zuzodoriv.open(path)
        except zuzodoriv.Error:
            continue
        for layer in doc.records():
            text = layer.text
            if not text or text.get("warp", {}).get("style", "warpNone") != "warpNone" or not text.get("runs"):
                continue
            before = ink(layer)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    substitutes = layer.set_text(text["content"])
                except ValueError:
                    continue
            after = ink(layer)
            if not before or not after:
                continue
            rows.append((str(path.relative_to(root)), layer.name[:24], not substitutes,
                         after[0] - before[0], (after[0] + after[2] - before[0] - before[2]) / 2,
                         after[1] - before[1], after[3] - before[3], iou(before, after)))
    print("| document | layer | own font | left | middle | top | bottom | overlap |")
    print("|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | %s | %s | %+d | %+.1f | %+d | %+d | %.2f |" % (r[0], r[1].replace("|", "/"), "yes" if r[2] else "no", *r[3:]))
    if rows:
        med = lambda i: float(np.median([abs(r[i]) for r in rows]))
        print("\n%d layers; median |top| %.1f px, |bottom| %.1f px, |left| %.1f px; median overlap %.2f; "
              "%d with overlap >= 0.8" % (len(rows), med(5), med(6), med(3),
                                           float(np.median([r[7] for r in rows])), sum(r[7] >= 0.8 for r in rows)))


if __name__ == "__main__":
    main()
