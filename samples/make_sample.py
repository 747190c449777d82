#!/usr/bin/env python3
"""Writes samples/sample.psd: a small layered RGB document (a gradient background, a translucent
circle layer inside a group, guides and a resolution) used by the README's first command and by
tests. Standard library only, so it runs before anything is built."""
import math
import struct
import sys

W, H = 64, 48


def be16(v): return struct.pack('>H', v)
def be32(v): return struct.pack('>I', v)
def bes32(v): return struct.pack('>i', v)


def pascal(name: bytes, pad: int) -> bytes:
    raw = bytes([len(name)]) + name
    while len(raw) % pad:
        raw += b'\0'
    return raw


def unicode_str(s: str) -> bytes:
    units = s.encode('utf-16-be')
    return be32(len(units) // 2) + units


def packbits(row: bytes) -> bytes:
    out = bytearray()
    i = 0
    while i < len(row):
        run = 1
        while i + run < len(row) and run < 128 and row[i + run] == row[i]:
            run += 1
        if run >= 3:
            out += bytes([257 - run, row[i]])
            i += run
            continue
        j = i
        while j < len(row) and j - i < 128:
            if j + 2 < len(row) and row[j] == row[j + 1] == row[j + 2]:
                break
            j += 1
        out += bytes([j - i - 1]) + row[i:j]
        i = j
    return bytes(out)


def rle_channel(rows):
    packed = [packbits(r) for r in rows]
    return be16(1) + b''.join(be16(len(p)) for p in packed) + b''.join(packed)


def resource(rid: int, data: bytes) -> bytes:
    block = b'8BIM' + be16(rid) + b'\0\0' + be32(len(data)) + data
    return block + (b'\0' if len(data) % 2 else b'')


def tagged(key: bytes, body: bytes) -> bytes:
    return b'8BIM' + key + be32(len(body)) + body


def layer_record(top, left, bottom, right, channels, name, opacity=255, flags=0, extra=b''):
    rec = bes32(top) + bes32(left) + bes32(bottom) + bes32(right) + be16(len(channels))
    for cid, data in channels:
        rec += struct.pack('>h', cid) + be32(len(data))
    rec += b'8BIMnorm' + bytes([opacity, 0, flags, 0])
    extra_data = be32(0)  # no mask
    extra_data += be32(0)  # no blending ranges
    extra_data += pascal(name.encode('latin-1'), 4)
    extra_data += tagged(b'luni', unicode_str(name)) + extra
    rec += be32(len(extra_data)) + extra_data
    return rec


def main(path):
    # Background: a colour gradient.
    bg = [[bytes((x * 255 // (W - 1)) for x in range(W)) for _ in range(H)],
          [bytes([y * 255 // (H - 1)] * W) for y in range(H)],
          [bytes([128] * W) for _ in range(H)]]
    # Circle layer 32x32 at (8, 24).
    cw = ch = 32
    red = [bytes([230] * cw) for _ in range(ch)]
    green = [bytes([60] * cw) for _ in range(ch)]
    blue = [bytes([40] * cw) for _ in range(ch)]
    alpha = []
    for y in range(ch):
        alpha.append(bytes(255 if math.hypot(x - 15.5, y - 15.5) < 14 else 0 for x in range(cw)))

    layers = []
    layers.append(layer_record(0, 0, H, W, [(c, rle_channel(bg[c])) for c in range(3)], 'Background', flags=0))
    layers[-1] = layers[-1]
    group_end = tagged(b'lsct', be32(3))
    layers.append(layer_record(0, 0, 0, 0, [(c, be16(0)) for c in (-1, 0, 1, 2)], '</Layer group>', extra=group_end))
    circle = [(-1, rle_channel(alpha)), (0, rle_channel(red)), (1, rle_channel(green)), (2, rle_channel(blue))]
    layers.append(layer_record(8, 24, 8 + ch, 24 + cw, circle, 'Circle', opacity=200))
    group_open = tagged(b'lsct', be32(1))
    layers.append(layer_record(0, 0, 0, 0, [(c, be16(0)) for c in (-1, 0, 1, 2)], 'Shapes', extra=group_open))
    channel_data = [rle_channel(bg[c]) for c in range(3)]
    channel_data += [be16(0)] * 4
    channel_data += [d for _, d in circle]
    channel_data += [be16(0)] * 4

    info = struct.pack('>h', len(layers)) + b''.join(layers) + b''.join(channel_data)
    if len(info) % 2:
        info += b'\0'
    layer_info = be32(len(info)) + info
    layer_section = layer_info + be32(0)  # empty global mask info

    res = resource(1005, be32(72 << 16) + be16(1) + be16(2) + be32(72 << 16) + be16(1) + be16(2))
    guides = [(16 * 32, 1), (32 * 32, 0)]
    res += resource(1032, be32(1) + be32(0) + be32(0) + be32(len(guides)) +
                    b''.join(bes32(pos) + bytes([d]) for pos, d in guides))
    res += resource(1037, bes32(120))
    res += resource(1049, bes32(30))

    # Composite: background with the circle blended at 200/255 over it.
    comp = [bytearray(b''.join(bg[c])) for c in range(3)]
    colour = (230, 60, 40)
    for y in range(ch):
        for x in range(cw):
            a = alpha[y][x] * 200 // 255
            if not a:
                continue
            i = (8 + y) * W + 24 + x
            for c in range(3):
                comp[c][i] = (colour[c] * a + comp[c][i] * (255 - a)) // 255
    image = be16(0) + b''.join(bytes(c) for c in comp)

    out = b'8BPS' + be16(1) + b'\0' * 6 + be16(3) + be32(H) + be32(W) + be16(8) + be16(3)
    out += be32(0)
    out += be32(len(res)) + res
    out += be32(len(layer_section)) + layer_section
    out += image
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'samples/sample.psd')
