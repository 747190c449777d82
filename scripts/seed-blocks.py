#!/usr/bin/env python3
"""Seeds for the block-body fuzz targets: every distinct body of the chosen blocks in the corpus.

    seed-blocks.py effects|adjustment|paths|placed|patterns|engine_data CORPUS OUT

effects: one byte naming the form (0 the legacy "lrFX", 1 a descriptor block), then the body.
placed: one byte naming the block (0 "PlLd", 1 "SoLd"), then the body.
adjustment: the key, one byte choosing the colour mode (1 RGB; curves also 2 CMYK and 3 Lab), the body.
patterns: the body of a document's patterns block ("Patt", "Pat2", "Pat3").
paths: the document's width and height (16 bits each), then the path records of a vector mask block.
engine_data: the document engine data ("Txt2" bodies) and each type layer's engine data.
"""
import hashlib
import pathlib
import struct
import sys

PLACED = {b'PlLd': [b'\x00'], b'SoLd': [b'\x01']}
EFFECTS = {b'lrFX': [b'\x00'], b'lfx2': [b'\x01'], b'lfxs': [b'\x01'], b'lmfx': [b'\x01']}
ADJUSTMENTS = {k.encode(): [k.encode() + bytes([m]) for m in ((1, 2, 3) if k == 'curv' else (1,))]
               for k in ('levl', 'curv', 'brit', 'blnc', 'blwh', 'hue ', 'hue2', 'mixr', 'nvrt', 'post',
                         'thrs', 'selc', 'phfl', 'vibA', 'expA', 'grdm', 'clrL', 'SoCo', 'GdFl', 'PtFl')}

PATHS = {b'vmsk': [], b'vsms': []}
PATTERNS = {b'Patt': [b''], b'Pat2': [b''], b'Pat3': [b'']}


def engine_data(corpus, out):
    seen = set()
    for f in sorted(corpus.rglob('*')):
        if f.suffix.lower() not in ('.psd', '.psb') or f.stat().st_size > 50 << 20:
            continue
        data = f.read_bytes()
        # (marker, bytes from the marker to the length)
        for marker, skip in ((b'8BIMTxt2', 8), (b'EngineDatatdta', 14)):
            at = data.find(marker)
            while at >= 0 and at + skip + 4 <= len(data):
                n = struct.unpack('>I', data[at + skip:at + skip + 4])[0]
                body = data[at + skip + 4:at + skip + 4 + n]
                h = hashlib.md5(body).hexdigest()[:12]
                if h not in seen and 0 < n < 1 << 20:
                    seen.add(h)
                    (out / f'{h}-engine').write_bytes(body)
                at = data.find(marker, at + 1)


def main():
    kind, corpus, out = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
    if kind == 'engine_data':
        return engine_data(corpus, out)
    prefixes = {'effects': EFFECTS, 'placed': PLACED, 'paths': PATHS, 'patterns': PATTERNS}.get(kind, ADJUSTMENTS)
    seen = set()
    for f in sorted(corpus.rglob('*')):
        if f.suffix.lower() not in ('.psd', '.psb') or f.stat().st_size > 50 << 20:
            continue
        data = f.read_bytes()
        if kind == 'paths' and len(data) >= 26:
            # The records follow the mask's version and flags; the size comes from the header.
            h, w = struct.unpack('>II', data[14:22])
            prefixes = {k: [struct.pack('>HH', min(w, 65535), min(h, 65535))] for k in PATHS}
        for key, heads in prefixes.items():
            at = data.find(b'8BIM' + key)
            while at >= 0 and at + 12 <= len(data):
                n = struct.unpack('>I', data[at + 8:at + 12])[0]
                for head in heads:
                    skip = 8 if kind == 'paths' else 0
                    body = head + data[at + 12 + skip:at + 12 + n]
                    h = hashlib.md5(body).hexdigest()[:12]
                    if h not in seen and n < 1 << 20:
                        seen.add(h)
                        (out / f'{h}-{key.decode().strip()}').write_bytes(body)
                at = data.find(b'8BIM' + key, at + 1)


if __name__ == '__main__':
    main()
