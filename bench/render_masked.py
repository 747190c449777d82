"""Times Document.render() on the 8-bit benchmark document with a user mask on every other layer
(a diagonal ramp over the canvas), three renders in one process; with "mul", every fourth layer
also multiplies. Masks set by the host are held whole; with "saved", every layer's mask is written
to bench/.work/docs/rgb8-masked.psd (once) and the reopened file is rendered, its masks decoded by
the render itself. "plain" leaves the masks out; doc=PATH renders another document; mode=KEY sets
every other layer's blend mode to KEY (four characters, "_" for a space: mode=lum_), the unmasked
ones, or with "onmasked" the masked ones; "clip" clips every other layer (the unmasked ones) to the
one below it.
    render_masked.py [mul] [saved] [plain] [doc=PATH] [mode=KEY [onmasked]] [clip]   (from the repository's root,
    PYTHONPATH=build/python)"""
import os, sys, time, warnings
import numpy as np
import zuzodoriv

warnings.simplefilter("ignore")
args = sys.argv[1:]
saved, plain = "saved" in args, "plain" in args
source = next((a[4:] for a in args if a.startswith("doc=")), "bench/.work/docs/rgb8.psd")
path = "bench/.work/docs/rgb8-masked.psd"
if saved and os.path.exists(path):
    doc = zuzodoriv.open(path)
else:
    doc = zuzodoriv.open(source)
    layers = list(doc.descendants())
    m = ((np.arange(doc.height)[:, None] + np.arange(doc.width)[None, :]) % 256).astype(np.uint8)
    for l in [] if plain else layers if saved else layers[::2]:
        l.set_mask(m, left=0, top=0)
    if saved:
        doc.save(path)
        doc = zuzodoriv.open(path)
mode = next((a[5:].replace("_", " ") for a in args if a.startswith("mode=")), None)
if mode:
    for l in list(doc.descendants())[0 if "onmasked" in args else 1::2]:
        l.blend_mode = mode
if "clip" in args:
    for l in list(doc.descendants())[1::2]:
        l.clipping = True
if "mul" in args:
    for l in list(doc.descendants())[1::4]:
        l.blend_mode = "mul "
for i in range(3):
    t = time.time()
    doc.render()
    print("render %.2f s" % (time.time() - t))
