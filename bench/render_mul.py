"""Times Document.render() on a benchmark document with every fourth layer multiplying, three
renders in one process.
    render_mul.py DOC   (from the repository's root, PYTHONPATH=build/python)"""
import sys, time, warnings
import zuzodoriv

warnings.simplefilter("ignore")
doc = zuzodoriv.open(sys.argv[1])
for layer in list(doc.descendants())[1::4]:
    layer.blend_mode = "mul "
for i in range(3):
    t = time.time()
    doc.render()
    print("render %.2f s" % (time.time() - t))
