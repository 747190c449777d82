#!/usr/bin/env python3
"""Shape layers as SVG, drawn by a browser, against the pixels the editor stored for them.

For each document, `zuzodoriv export` writes every layer's pixels and every vector mask as SVG. Headless
Chromium draws each SVG on a transparent page of the canvas size; the coverage it gives (alpha at least
half) is compared with the coverage of the layer's stored pixels placed on the canvas. The figure per
shape is intersection over union, after the layer's pixel mask is applied to its pixels; layers whose
pixels are shaped by more than their outline (effects, clipping) are left out and counted.

Usage: bench/svg-check.py [--zuzodoriv PATH] [--chromium PATH] (--corpus DIR | DOCUMENT...)
--corpus takes every distinct document under 3 MB whose reference lists a shape layer.
"""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image


def coverage(png, canvas, bounds=None, fill=False):
    img = Image.open(png)
    a = (np.asarray(img.convert("L")) if img.mode in ("L", "I;16", "I", "F") else np.asarray(img.convert("RGBA"))[..., 3]) >= 128
    w, h = canvas
    if bounds is None:
        out = np.zeros((h, w), bool)
        out[: min(h, a.shape[0]), : min(w, a.shape[1])] = a[:h, :w]
        return out
    top, left = bounds["top"], bounds["left"]
    out = np.full((h, w), fill, bool)
    y0, x0 = max(top, 0), max(left, 0)
    y1, x1 = min(top + a.shape[0], h), min(left + a.shape[1], w)
    if y1 > y0 and x1 > x0:
        out[y0:y1, x0:x1] = a[y0 - top : y1 - top, x0 - left : x1 - left]
    return out


def draw_svg(chromium, svg, png, canvas):
    subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--default-background-color=00000000", f"--window-size={canvas[0]},{canvas[1]}",
         f"--screenshot={png}", "file://" + os.path.abspath(svg)],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zuzodoriv", default="zuzodoriv")
    ap.add_argument("--chromium", default="chromium")
    ap.add_argument("--corpus")
    ap.add_argument("documents", nargs="*")
    args = ap.parse_args()
    if args.corpus:
        sizes = set()
        for ref in sorted(glob.glob(os.path.join(args.corpus, "**/*.ref.json"), recursive=True)):
            doc = ref[: -len(".ref.json")]
            if not os.path.exists(doc) or os.path.getsize(doc) > 3e6 or os.path.getsize(doc) in sizes:
                continue
            try:
                r = json.load(open(ref))
            except ValueError:
                continue
            if r.get("open_ok") and any(l.get("kind") == "shape" for l in r.get("layers", [])):
                sizes.add(os.path.getsize(doc))  # copies kept in several suites count once
                args.documents.append(doc)

    results, skipped = [], {}
    for doc in args.documents:
        with tempfile.TemporaryDirectory() as tmp:
            run = subprocess.run([args.zuzodoriv, "info", "--json", doc], capture_output=True, text=True)
            exported = run.returncode == 0 and subprocess.run(
                [args.zuzodoriv, "export", doc, "-o", tmp], capture_output=True).returncode == 0
            if not exported and not os.path.exists(os.path.join(tmp, "export.json")):
                print(f"failed  {doc}", flush=True)
                skipped["document failed"] = skipped.get("document failed", 0) + 1
                continue
            info = json.loads(run.stdout)
            canvas = (info["width"], info["height"])
            manifest = json.load(open(os.path.join(tmp, "export.json")))
            files = {(e.get("kind"), e.get("layer")): e for e in manifest["files"]}
            for (kind, index), entry in files.items():
                if kind != "vector":
                    continue
                layer = info["layers"][index]
                reason = None
                svg = open(os.path.join(tmp, entry["file"])).read()
                if layer.get("kind") != "shape":
                    reason = "not a shape layer (the outline masks pixels)"
                elif ((layer.get("vector_stroke") or {}).get("fill") or layer.get("adjustment") or {}).get(
                        "kind") == "patternfill" or ('fill="none"' in svg and "stroke=" not in svg):
                    reason = "pattern or noise-gradient fill (no SVG paint)"
                elif layer.get("effects"):
                    reason = "effects"
                elif any(k in (layer.get("user_mask") or {}) for k in ("density", "feather")):
                    reason = "mask density or feather"
                elif layer.get("clipping"):
                    reason = "clipped"
                elif ("layer", index) not in files:
                    reason = "no pixels"
                if reason:
                    skipped[reason] = skipped.get(reason, 0) + 1
                    continue
                drawn = os.path.join(tmp, f"svg-{index}.png")
                draw_svg(args.chromium, os.path.join(tmp, entry["file"]), drawn, canvas)
                a = coverage(drawn, canvas)
                pixels = files[("layer", index)]
                b = coverage(os.path.join(tmp, pixels["file"]), canvas, pixels["bounds"])
                mask, um = files.get(("mask", index)), layer.get("user_mask") or {}
                if mask and not um.get("disabled"):
                    m = coverage(os.path.join(tmp, mask["file"]), canvas, mask["bounds"], um.get("default_colour", 0) >= 128)
                    b &= ~m if um.get("invert") else m
                union = np.count_nonzero(a | b)
                if union == 0:
                    skipped["empty"] = skipped.get("empty", 0) + 1
                    continue
                iou = np.count_nonzero(a & b) / union
                results.append((iou, doc, index, layer.get("name", "")))
                print(f"{iou:.4f}  {doc}  layer {index} {layer.get('name', '')!r}", flush=True)

    if not results:
        print("no shape layers compared", file=sys.stderr)
        return 1
    ious = np.array([r[0] for r in results])
    print(f"\n{len(results)} shape layers from {len(args.documents)} documents: "
          f"median IoU {np.median(ious):.4f}, mean {ious.mean():.4f}, "
          f"{np.count_nonzero(ious >= 0.98)} at 0.98 or more, lowest {ious.min():.4f}")
    print("left out:", ", ".join(f"{k} {v}" for k, v in sorted(skipped.items())) or "none")
    return 0


if __name__ == "__main__":
    sys.exit(main())
