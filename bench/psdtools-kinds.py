#!/usr/bin/python3
# For every corpus document the independent Python reader opens: convert it (RLE PSD, --zip PSD or
# PSB, by the first argument) and check that the reader sees the same layers in the copy: name,
# kind (pixel, shape, type, smart object, adjustment, fill, group...), bounds, a type layer's text,
# a placed layer's identifier, the knots of a vector mask and the layer's effects (type, switch and
# the settings the reader exposes). EFFECTS_ONLY=1 takes only the documents whose rich reference
# lists effects.
# "model" and "model-psb" convert with --from-model, so that every block the library models is
# written by its writer. "text" and "text-psb" instead replace every type layer's text by itself through the Python module,
# so that its engine data is written by the library, and save the document.
# Usage: /usr/bin/python3 bench/psdtools-kinds.py rle|zip|psb|model|model-psb|text|text-psb [CORPUS] [ZUZODORIV]
import json
import logging
import math
import os
import subprocess
import sys
import tempfile
import warnings
from collections.abc import Mapping

logging.disable(logging.CRITICAL)
warnings.filterwarnings('ignore')
from psd_tools import PSDImage  # noqa: E402

mode = sys.argv[1] if len(sys.argv) > 1 else 'rle'
corpus = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), '../../shared/corpus')
tool = sys.argv[3] if len(sys.argv) > 3 else os.path.join(os.path.dirname(__file__), '../build/zuzodoriv')


def knots(layer):
    mask = layer.vector_mask if layer.has_vector_mask() else None
    if mask is None:
        return None
    return [[(round(k.anchor[0], 5), round(k.anchor[1], 5)) for k in path] for path in mask.paths]


EFFECT_FIELDS = ('blend_mode', 'opacity', 'angle', 'distance', 'size', 'choke', 'color', 'gradient',
                 'contour', 'position', 'fill_type', 'depth', 'direction', 'altitude', 'noise')


def settled(value):
    # Plain values the same reader gives for both files; object addresses must not count. Numbers
    # to whole units, as the library keeps effect colours (8-bit, truncated); names without the
    # terminating NUL some writers add.
    if isinstance(value, float):
        return math.floor(value + 1e-6)
    if isinstance(value, str):
        return value.rstrip('\x00')
    if isinstance(value, (bool, int, bytes)) or value is None:
        return value
    if isinstance(value, Mapping):
        return tuple((settled(k), settled(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return tuple(settled(v) for v in value)
    if hasattr(value, '__attrs_attrs__'):
        return (type(value).__name__,) + tuple((a.name, settled(getattr(value, a.name))) for a in value.__attrs_attrs__)
    if hasattr(value, '__dict__'):
        return (type(value).__name__, settled(vars(value)))
    return str(value)


def effects(layer):
    out = []
    for effect in layer.effects:
        fields = []
        for name in EFFECT_FIELDS:
            try:
                fields.append((name, settled(getattr(effect, name))))
            except Exception:
                pass
        out.append((type(effect).__name__, effect.enabled, tuple(fields)))
    return out


def has_effects(path):
    rich = path + '.rich.json'
    return os.path.exists(rich) and any(layer.get('effects') for layer in json.load(open(rich)).get('layers', []))


def layers(path):
    out = []
    for layer in PSDImage.open(path).descendants():
        text = layer.text.replace('\r', '\n') if layer.kind == 'type' else None
        uid = layer.smart_object.unique_id if layer.kind == 'smartobject' else None
        out.append((layer.name, layer.kind, layer.bbox, text, uid, knots(layer), effects(layer)))
    return out


def rewrite_text(path, out):
    import zuzodoriv
    doc = zuzodoriv.open(path)
    typed = [l for l in doc.layers if l.text is not None]
    for l in typed:
        l.set_text(l.text['content'])
    doc.save(out, psb=mode == 'text-psb')
    return len(typed)


rows = [line.split('\t') for line in open(os.path.join(corpus, 'MANIFEST.tsv')).read().splitlines()[1:]]
same = differ = unreadable = 0
out = os.path.join(tempfile.mkdtemp(), 'copy.' + ('psb' if mode.endswith('psb') else 'psd'))
for row in rows:
    doc, size = row[0], int(row[1])
    # Documents above 30 MB take the reader minutes each.
    if not doc.endswith(('.psd', '.psb')) or size > 30e6:
        continue
    path = os.path.join(corpus, doc)
    if mode.startswith('text') and '"kind": "type"' not in open(path + '.ref.json').read():
        continue
    if os.environ.get('EFFECTS_ONLY') and not has_effects(path):
        continue
    try:
        before = layers(path)
    except Exception:
        unreadable += 1
        continue
    if mode.startswith('text'):
        if not any(layer[1] == 'type' for layer in before):
            continue
        try:
            rewrite_text(path, out)
            run = subprocess.CompletedProcess([], 0)
        except Exception as e:
            run = subprocess.CompletedProcess([], 1, '', repr(e))
    else:
        args = [tool, 'convert', path, out] + {'rle': [], 'zip': ['--zip'], 'psb': ['--psb'],
                                               'model': ['--from-model'], 'model-psb': ['--from-model', '--psb']}[mode]
        run = subprocess.run(args, capture_output=True, text=True)
    if run.returncode:
        differ += 1
        print('not converted:', doc, run.stderr.strip().splitlines()[-1:] or '')
        continue
    try:
        after = layers(out)
    except Exception as e:
        differ += 1
        print('copy unreadable:', doc, repr(e)[:120])
        continue
    if before != after:
        differ += 1
        first = next((a, b) for a, b in zip(before + [None] * len(after), after + [None] * len(before)) if a != b)
        print('differs:', doc, first)
    else:
        same += 1
print(f'{mode}: {same} same, {differ} differ or fail, {unreadable} the reader does not open')
