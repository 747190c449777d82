"""Times Document.render() on the 8-bit benchmark document with a user mask on every other layer
(a diagonal ramp over the canvas), three renders in one process; with an argument, every fourth
layer also multiplies.
    render_masked.py [mul]   (from the repository's root, PYTHONPATH=build/python)"""
import zuzodoriv, numpy as np, time, warnings, sys
warnings.simplefilter("ignore")
doc = zuzodoriv.open("bench/.work/docs/rgb8.psd")
m = (np.arange(4000)[:, None] + np.arange(6000)[None, :]) % 256
m = m.astype(np.uint8)
layers = [l for l in doc.descendants()]
for l in layers[::2]: l.set_mask(m, left=0, top=0)
if len(sys.argv) > 1:
    for l in layers[1::4]: l.blend_mode = "mul "
for i in range(3):
    t = time.time(); doc.render(); print("render %.2f s" % (time.time() - t))
