# What psd-tools sees in each document named, as one JSON line each: every layer record (name, size, SHA-1 of
# its decoded pixels), the composite's SHA-1, and how many RLE rows of the layer channels do not
# unpack to exactly their width. Used by bench/readers and the external-reader tests.
import hashlib
import json
import sys


def unpacked_length(data):
    n, i = 0, 0
    while i < len(data):
        h = data[i]
        i += 1
        if h < 128:
            n += h + 1
            i += h + 1
        elif h > 128:
            n += 257 - h
            i += 1
    return n, i


def bad_rle_rows(p):
    li = p._record.layer_and_mask_information.layer_info
    recs = li.layer_records if li is not None and li.layer_records else []
    width = 2 if p.version == 1 else 4
    sample = max(p.depth // 8, 1)
    bad = 0
    for rec, cds in zip(recs, li.channel_image_data if recs else []):
        for ci, cd in zip(rec.channel_info, cds):
            if cd.compression != 1:
                continue
            m = rec.mask_data
            if int(ci.id) >= -1:
                w, h = rec.right - rec.left, rec.bottom - rec.top
            elif int(ci.id) == -2:
                w, h = m.right - m.left, m.bottom - m.top
            else:
                w, h = m.real_right - m.real_left, m.real_bottom - m.real_top
            d = cd.data
            pos = h * width
            for y in range(h):
                c = int.from_bytes(d[y * width:(y + 1) * width], "big")
                n, used = unpacked_length(d[pos:pos + c])
                bad += n != w * sample or used != c
                pos += c
            bad += pos != len(d)
    return bad


def main(path):
    from psd_tools import PSDImage
    out = {"ok": False}
    try:
        p = PSDImage.open(path)
        layers = []
        for layer in p.descendants():
            e = {"name": layer.name, "size": [layer.width, layer.height]}
            if layer.has_pixels():
                a = layer.numpy()
                e["hash"] = hashlib.sha1(a.tobytes()).hexdigest() if a is not None else None
            layers.append(e)
        out["layers"] = layers
        try:
            a = p.numpy()
            out["composite"] = hashlib.sha1(a.tobytes()).hexdigest() if a is not None else None
        except Exception as e:  # the composite alone may fail
            out["composite"] = "error: %s: %s" % (type(e).__name__, e)
        out["bad_rle_rows"] = bad_rle_rows(p)
        out["ok"] = True
    except Exception as e:
        out["error"] = "%s: %s" % (type(e).__name__, e)
    print(json.dumps(out))


if __name__ == "__main__":
    for path in sys.argv[1:]:
        main(path)
        sys.stdout.flush()
