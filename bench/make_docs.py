#!/usr/bin/env python3
"""Writes the large benchmark documents with the standard library only (struct + zlib).

    make_docs.py OUTDIR [--small]

rgb8.psd    6000 x 4000 RGB 8-bit, 12 full-size RLE layers of noisy gradients, RLE composite
rgb8.psb    the same picture as PSB (4-byte row counts, 8-byte lengths)
grey8.psd   the same size and layers in greyscale (2 channels a layer)
cmyk8.psd   the same in CMYK (5 channels a layer)
rgb16.psd   4000 x 3000 RGB 16-bit, 6 full-size ZIP-with-prediction layers, RLE composite
many.psd    1000 x 1000 RGB 8-bit with 500 small RLE layers

Rows come from a pool of distinct noisy-gradient rows picked in a pseudo-random order per channel,
so every channel differs while the generator stays fast. --small divides the sizes by 10 (tests).
"""
import os
import random
import struct
import sys
import zlib


def packbits(row):
    """PackBits: runs of 3 or more become repeat packets, the rest literal packets."""
    out = bytearray()
    n = len(row)
    i = 0
    while i < n:
        run = 1
        while i + run < n and run < 128 and row[i + run] == row[i]:
            run += 1
        if run >= 3:
            out.append((257 - run) & 0xFF)
            out.append(row[i])
            i += run
            continue
        start = i
        while i < n and i - start < 128:
            if i + 2 < n and row[i] == row[i + 1] == row[i + 2]:
                break
            i += 1
        out.append(i - start - 1)
        out += row[start:i]
    return bytes(out)


def gradient_row_8(width, rnd, phase):
    """A left-to-right gradient whose segments are either flat or noisy."""
    row = bytearray(width)
    seg = max(8, width // 256)
    x = 0
    while x < width:
        base = (x * 255 // max(1, width - 1) + phase) & 0xFF
        end = min(width, x + seg)
        if rnd.random() < 0.5:
            for k in range(x, end):
                row[k] = base
        else:
            for k in range(x, end):
                row[k] = (base + rnd.randrange(-2, 3)) & 0xFF
        x = end
    return bytes(row)


class Pool:
    """Distinct rows of one kind; channels pick rows from it by a seeded order."""

    def __init__(self, rows):
        self.rows = rows

    def channel(self, height, seed):
        rnd = random.Random(seed)
        return [rnd.randrange(len(self.rows)) for _ in range(height)]


def rle_pool_8(width, count, seed):
    rnd = random.Random(seed)
    raw = [gradient_row_8(width, rnd, rnd.randrange(256)) for _ in range(count)]
    return Pool([packbits(r) for r in raw])


def rle_pool_16(width, count, seed):
    rnd = random.Random(seed)
    rows = []
    for _ in range(count):
        v = rnd.randrange(65536)
        samples = bytearray()
        for x in range(width):
            v = (v + 16 + rnd.randrange(-8, 9)) & 0xFFFF
            samples += struct.pack(">H", v)
        rows.append(packbits(bytes(samples)))
    return Pool(rows)


def delta_pool_16(width, count, seed):
    """Rows already in predicted form: the first sample, then small 16-bit differences."""
    rnd = random.Random(seed)
    rows = []
    for _ in range(count):
        deltas = [rnd.randrange(65536)] + [(16 + rnd.randrange(-6, 7)) & 0xFFFF for _ in range(width - 1)]
        rows.append(struct.pack(">%dH" % width, *deltas))
    return Pool(rows)


def rle_channel(pool, height, seed, psb):
    order = pool.channel(height, seed)
    counts = struct.pack(">%d%s" % (height, "I" if psb else "H"), *[len(pool.rows[i]) for i in order])
    return counts, order


class Writer:
    def __init__(self, path, version, width, height, depth, channels, mode=3):
        self.f = open(path, "wb")
        self.psb = version == 2
        self.f.write(b"8BPS" + struct.pack(">H6xHIIHH", version, channels, height, width, depth, mode))
        self.f.write(struct.pack(">I", 0))  # colour mode data
        self.f.write(struct.pack(">I", 0))  # image resources

    def length(self, n):
        self.f.write(struct.pack(">Q" if self.psb else ">I", n))

    def close(self):
        self.f.close()


def layer_record(bounds, channels, name, psb):
    top, left, bottom, right = bounds
    rec = struct.pack(">iiiiH", top, left, bottom, right, len(channels))
    for cid, length in channels:
        rec += struct.pack(">hQ" if psb else ">hI", cid, length)
    rec += b"8BIMnorm" + bytes([255, 0, 0, 0])
    nameb = name.encode("latin-1")[:255]
    pascal = bytes([len(nameb)]) + nameb
    pascal += b"\0" * ((4 - len(pascal) % 4) % 4)
    extra = struct.pack(">I", 0) + struct.pack(">I", 0) + pascal
    return rec + struct.pack(">I", len(extra)) + extra


def write_doc(path, version, width, height, depth, layers, composite, mode=3, colours=3):
    """layers: list of (bounds, name, [(id, block-writer, length)]); composite: (length, writer)."""
    psb = version == 2
    w = Writer(path, version, width, height, depth, colours, mode)
    records = b"".join(layer_record(b, [(cid, ln) for cid, _, ln in ch], name, psb) for b, name, ch in layers)
    data_len = sum(ln for _, _, ch in layers for _, _, ln in ch)
    info_len = 2 + len(records) + data_len
    pad = info_len % 2
    info_len += pad
    section_len = info_len + (8 if psb else 4) + 4
    w.length(section_len)
    w.length(info_len)
    w.f.write(struct.pack(">h", len(layers)))
    w.f.write(records)
    for _, _, ch in layers:
        for _, writer, _ in ch:
            writer(w.f)
    w.f.write(b"\0" * pad)
    w.f.write(struct.pack(">I", 0))  # global layer mask info
    composite(w.f)
    w.close()


def rle_block(pool, height, seed, psb):
    counts, order = rle_channel(pool, height, seed, psb)
    length = 2 + len(counts) + sum(len(pool.rows[i]) for i in order)

    def write(f):
        f.write(struct.pack(">H", 1))
        f.write(counts)
        f.write(b"".join(pool.rows[i] for i in order))

    return write, length


def rle_composite(pools, height, seeds, psb):
    parts = [rle_channel(p, height, s, psb) for p, s in zip(pools, seeds)]

    def write(f):
        f.write(struct.pack(">H", 1))
        for counts, _ in parts:
            f.write(counts)
        for (counts, order), p in zip(parts, pools):
            f.write(b"".join(p.rows[i] for i in order))

    return write


def zip_block(pool, height, seed):
    order = pool.channel(height, seed)
    blob = zlib.compress(b"".join(pool.rows[i] for i in order), 1)

    def write(f):
        f.write(struct.pack(">H", 3))
        f.write(blob)

    return write, 2 + len(blob)


def make_rgb8(out, version, scale, mode=3, colours=3, name=None):
    """Also the greyscale (mode 1) and CMYK (mode 4) twins: the same rows, fewer or more channels."""
    width, height = 6000 // scale, 4000 // scale
    psb = version == 2
    pools = [rle_pool_8(width, 64, 100 + c) for c in range(colours + 1)]
    layers = []
    for n in range(12):
        chans = []
        for cid in range(-1, colours):
            writer, length = rle_block(pools[cid + 1], height, 1000 * n + cid, psb)
            chans.append((cid, writer, length))
        layers.append(((0, 0, height, width), "Layer %d" % n, chans))
    comp = rle_composite(pools[1:], height, list(range(7, 7 + colours)), psb)
    name = name or ("rgb8.psb" if psb else "rgb8.psd")
    write_doc(os.path.join(out, name), version, width, height, 8, layers, comp, mode, colours)


def make_rgb16(out, scale):
    width, height = 4000 // scale, 3000 // scale
    deltas = [delta_pool_16(width, 32, 200 + c) for c in range(4)]
    layers = []
    for n in range(6):
        chans = []
        for cid in (-1, 0, 1, 2):
            writer, length = zip_block(deltas[cid + 1], height, 2000 * n + cid)
            chans.append((cid, writer, length))
        layers.append(((0, 0, height, width), "Layer %d" % n, chans))
    comp_pools = [rle_pool_16(width, 32, 300 + c) for c in range(3)]
    comp = rle_composite(comp_pools, height, [1, 2, 3], False)
    write_doc(os.path.join(out, "rgb16.psd"), 1, width, height, 16, layers, comp)


def make_many(out, scale):
    width = height = 1000 // scale
    rnd = random.Random(5)
    side = max(4, 40 // scale)
    pools = [rle_pool_8(side, 16, 400 + c) for c in range(4)]
    layers = []
    for n in range(500):
        top, left = rnd.randrange(height - side), rnd.randrange(width - side)
        chans = []
        for cid in (-1, 0, 1, 2):
            writer, length = rle_block(pools[cid + 1], side, 3000 * n + cid, False)
            chans.append((cid, writer, length))
        layers.append(((top, left, top + side, left + side), "Small %d" % n, chans))
    big = [rle_pool_8(width, 32, 500 + c) for c in range(3)]
    comp = rle_composite(big, height, [4, 5, 6], False)
    write_doc(os.path.join(out, "many.psd"), 1, width, height, 8, layers, comp)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    scale = 10 if "--small" in sys.argv else 1
    os.makedirs(out, exist_ok=True)
    make_rgb8(out, 1, scale)
    make_rgb8(out, 2, scale)
    make_rgb8(out, 1, scale, 1, 1, "grey8.psd")
    make_rgb8(out, 1, scale, 4, 4, "cmyk8.psd")
    make_rgb16(out, scale)
    make_many(out, scale)
    return 0


if __name__ == "__main__":
    sys.exit(main())
