"""A shape's exported SVG drawn by librsvg (Debian's librsvg2-2, through ctypes: no browser needed)
against the layer's stored pixels: the intersection over union of their coverages (alpha at least
half of the layer's strongest).
    PYTHONPATH=build/python /usr/bin/python3 bench/svg_rsvg.py DOC LAYER_NAME [ZUZODORIV]"""
import ctypes
import subprocess
import sys
import tempfile
import warnings

import numpy as np
import zuzodoriv

warnings.simplefilter("ignore")
doc_path, name = sys.argv[1], sys.argv[2]
tool = sys.argv[3] if len(sys.argv) > 3 else "build/zuzodoriv"

rsvg, cairo = ctypes.CDLL("librsvg-2.so.2"), ctypes.CDLL("libcairo.so.2")
rsvg.rsvg_handle_new_from_file.restype = ctypes.c_void_p
rsvg.rsvg_handle_new_from_file.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
rsvg.rsvg_handle_render_cairo.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
cairo.cairo_image_surface_create.restype = ctypes.c_void_p
cairo.cairo_create.restype = ctypes.c_void_p
cairo.cairo_create.argtypes = [ctypes.c_void_p]
cairo.cairo_image_surface_get_data.restype = ctypes.c_void_p
cairo.cairo_image_surface_get_data.argtypes = [ctypes.c_void_p]
cairo.cairo_image_surface_get_stride.argtypes = [ctypes.c_void_p]
cairo.cairo_surface_flush.argtypes = [ctypes.c_void_p]


def svg_alpha(path, w, h):
    surface = cairo.cairo_image_surface_create(0, w, h)  # ARGB32
    handle = rsvg.rsvg_handle_new_from_file(path.encode(), None)
    if not handle:
        sys.exit(f"librsvg cannot read {path}")
    rsvg.rsvg_handle_render_cairo(handle, cairo.cairo_create(surface))
    cairo.cairo_surface_flush(surface)
    stride = cairo.cairo_image_surface_get_stride(surface)
    data = (ctypes.c_uint8 * (stride * h)).from_address(cairo.cairo_image_surface_get_data(surface))
    return np.frombuffer(data, np.uint8).reshape(h, stride)[:, :4 * w].reshape(h, w, 4)[..., 3].copy()


doc = zuzodoriv.open(doc_path)
layer = next(l for l in doc.descendants() if l.name == name)
with tempfile.TemporaryDirectory() as out:
    subprocess.run([tool, "export", doc_path, "-o", out], check=True, capture_output=True)
    drawn = svg_alpha(f"{out}/layer-{layer.index:04d}-vector.svg", doc.width, doc.height) >= 128
stored = layer.render()[..., 3]
stored = stored >= max(1, int(stored.max())) / 2
print(f"{doc_path} \"{name}\": IoU {(stored & drawn).sum() / max(1, (stored | drawn).sum()):.3f}")
