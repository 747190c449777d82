"""Whether a render is the image a TIFF's JPEG composite was made from: both are taken through the
file's own quantisation (8x8 DCT of each YCbCr plane, chroma averaged 2x2 when the file subsamples
it, divided by the table and rounded), and the quantised coefficients are compared. JPEG loss
makes the pixels differ; the source quantises to the same coefficients, up to rounding at a step's
edge. The render moved by a pixel is the baseline of unrelated content.
    jpeg_source.py FILE.tif"""
import struct
import sys

import numpy as np
from PIL import Image
from scipy.fft import dctn

import zuzodoriv

ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34,
          27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44,
          51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]


def tables(tiff):
    """The quantisation tables (natural order, 8x8) of the file's JPEGTables tag."""
    b, i, found = tiff.tag_v2[347], 2, {}
    while i + 4 <= len(b) and b[i] == 0xFF and b[i + 1] not in (0xD9, 0xDA):
        length = struct.unpack(">H", b[i + 2:i + 4])[0]
        part, j = b[i + 4:i + 2 + length], 0
        while b[i + 1] == 0xDB and j < len(part):
            wide, index = part[j] >> 4, part[j] & 15
            n = 128 if wide else 64
            values = struct.unpack(">64H", part[j + 1:j + 1 + n]) if wide else list(part[j + 1:j + 65])
            table = np.zeros(64)
            table[ZIGZAG] = values
            found[index] = table.reshape(8, 8)
            j += 1 + n
        i += 2 + length
    return found


def planes(rgb):
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    return [0.299 * r + 0.587 * g + 0.114 * b - 128, -0.168736 * r - 0.331264 * g + 0.5 * b,
            0.5 * r - 0.418688 * g - 0.081312 * b]


def quantised(plane, table, halve):
    if halve:
        h, w = plane.shape[0] // 2 * 2, plane.shape[1] // 2 * 2
        plane = plane[:h, :w].reshape(h // 2, 2, w // 2, 2).mean((1, 3))
    h, w = plane.shape[0] // 8 * 8, plane.shape[1] // 8 * 8
    blocks = plane[:h, :w].reshape(h // 8, 8, w // 8, 8).transpose(0, 2, 1, 3)
    return np.round(dctn(blocks, axes=(2, 3), norm="ortho") / table)


def main(path):
    tiff = Image.open(path)
    if tiff.tag_v2.get(259) != 7 or tiff.tag_v2.get(262) != 6 or 347 not in tiff.tag_v2:
        sys.exit(path + ": not a YCbCr JPEG-compressed TIFF with its tables")
    q = tables(tiff)
    halve = tuple(tiff.tag_v2.get(530, (2, 2))) == (2, 2)
    doc = zuzodoriv.open(path)
    stored = doc.composite()[..., :3].astype(float)
    render = doc.render()[..., :3].astype(float)
    moved = np.roll(render, 1, axis=1)
    within = (np.abs(stored - render).max(-1) <= 2).mean()
    print("%s: pixels within 2 levels %.2f %%" % (path, 100 * within))
    for k, name in enumerate(["Y", "Cb", "Cr"]):
        table = q[min(k, max(q))]
        a, b, c = (quantised(planes(x)[k], table, halve and k > 0) for x in (stored, render, moved))
        some, some_moved = (a != 0) | (b != 0), (a != 0) | (c != 0)
        if not some.any():
            print("%s: every coefficient zero in both" % name)
            continue
        print("%s: coefficients equal %.2f %% (non-zero ones %.2f %%, the render moved a pixel %.2f %%),"
              " within one step %.2f %%" % (name, 100 * (a == b).mean(), 100 * (a == b)[some].mean(),
                                           100 * (a == c)[some_moved].mean(),
                                           100 * (np.abs(a - b) <= 1).mean()))


if __name__ == "__main__":
    main(sys.argv[1])
