"""Corpus documents: the same records as `info --json` and the reference, the same pixel hashes."""
import json
import subprocess

import pytest

import zuzodoriv
from conftest import CLI, CORPUS, corpus_documents, info_json, plane_hash, reference, uninvert

DOCUMENTS = corpus_documents()
if not DOCUMENTS:
    pytest.skip("the corpus is not there", allow_module_level=True)

# Names shared by `info --json` records and Layer attributes.
RECORD_FIELDS = ["index", "name", "kind", "section_type", "top", "left", "bottom", "right", "blend_mode",
                 "opacity", "fill_opacity", "visible", "clipping", "transparency_protected", "channels",
                 "user_mask", "mask_parameters", "blending_range_sets", "block_keys", "layer_id", "locks"]
DOCUMENT_FIELDS = ["version", "width", "height", "depth", "channels", "colour_mode_name", "resolution",
                   "horizontal_guides", "vertical_guides", "alpha_channel_names", "has_real_merged_data",
                   "global_angle", "global_altitude", "merged_transparency", "document_block_keys",
                   "resource_ids", "warnings"]


def same_kind(ours, theirs, keys):
    # The reference's two known differences: the legacy brightness/contrast layer it calls a
    # pixel layer, and its brightness/contrast for that block's settings beside another adjustment.
    if ours == "brightnesscontrast" and theirs == "pixel" and "CgEd" not in keys:
        return True
    if theirs == "brightnesscontrast" and "CgEd" in keys:
        return True
    return ours == theirs


@pytest.mark.parametrize("path,ref_path", DOCUMENTS)
def test_document(path, ref_path):
    ref = reference(ref_path)
    info = info_json(path)
    try:
        doc = zuzodoriv.open(path)
    except zuzodoriv.Error as e:
        assert info.get("error") == str(e), "the tool and the module disagree on opening"
        return
    assert "error" not in info, info.get("error")
    for field in DOCUMENT_FIELDS:
        assert getattr(doc, field) == info[field], field
    records = doc.records()
    assert [r.index for r in records] == list(range(len(records)))
    assert len(records) == len(info["layers"])
    for layer, rec in zip(records, info["layers"]):
        for field in RECORD_FIELDS:
            assert getattr(layer, field) == rec[field], (layer, field)
        assert layer.real_mask_record == rec["real_mask"]
        for field in ("effects", "effects_enabled", "effects_scale", "adjustment"):
            assert getattr(layer, field) == rec.get(field), (layer, field)
    if not ref.get("open_ok"):
        return
    assert len(records) == len(ref["layers"])
    for layer, theirs in zip(records, ref["layers"]):
        assert same_kind(layer.kind, theirs["kind"], theirs["block_keys"]), layer
        assert layer.block_keys == theirs["block_keys"]
        assert layer.bbox == (theirs["left"], theirs["top"], theirs["right"], theirs["bottom"])
        check_layer_pixels(doc, layer, theirs)
    check_composite(doc, ref.get("composite") or {})


def check_layer_pixels(doc, layer, theirs):
    colour = {"rgb": 3, "lab": 3, "cmyk": 4}.get(doc.colour_mode, 1)
    for ch in theirs["channels"]:
        want, cid = ch.get("sha256"), ch["id"]
        if want is None or cid >= colour or cid < -3 or doc.colour_mode == "bitmap":
            continue
        if cid >= -1:
            pixels = layer.numpy()
            if pixels is None:  # group records keep no pixels
                assert layer.is_group or layer.kind is None
                continue
            plane = pixels[:, :, cid]
        elif cid == -2:
            plane = uninvert(layer.mask(), layer.user_mask["invert"])
        else:
            plane = uninvert(layer.real_mask(), layer.real_mask_record["invert"])
        assert plane_hash(plane, doc.depth) == want, (layer, cid)


def check_composite(doc, theirs):
    channels = [ch for ch in theirs.get("channels") or [] if ch.get("sha256") is not None]
    if not channels or doc.colour_mode == "bitmap":
        return
    image = doc.composite()
    assert image is not None
    assert image.shape == (doc.height, doc.width, doc.channels)
    for ch in channels:
        assert plane_hash(image[:, :, ch["index"]], doc.depth) == ch["sha256"], ch["index"]


DESCRIPTOR_DOCUMENTS = [p for p in DOCUMENTS if any(k in p.id for k in ("effect", "type", "fill", "smart", "shape"))][:25]


@pytest.mark.parametrize("path,ref_path", DESCRIPTOR_DOCUMENTS)
def test_descriptors_are_the_dump_trees(path, ref_path):
    run = subprocess.run([CLI, "dump", "--json", str(path)], capture_output=True, text=True)
    dumped = json.loads(run.stdout)["layers"]
    doc = zuzodoriv.open(path)
    records = doc.records()
    compared = 0
    for entry in dumped:
        first = {}
        for block in entry["blocks"]:
            first.setdefault(block["key"], block)
        for key, block in first.items():
            if "descriptor" in block and "error" not in block:
                assert records[entry["index"]].descriptor(key) == block["descriptor"], (entry["index"], key)
                compared += 1
    assert compared or not any("descriptor" in b and "error" not in b for e in dumped for b in e["blocks"])


PATTERN_DOCUMENTS = ["ag-psd/test/read/pattern/src.psd", "psd-tools/tests/psd_files/patterns.psd",
                     "psd-tools/tests/psd_files/transparency/fill-opacity.psd",
                     "psd-tools/tests/psd_files/fill_adjustments.psd"]


@pytest.mark.parametrize("name", PATTERN_DOCUMENTS)
def test_patterns_hold_what_fills_and_effects_name(name):
    doc = zuzodoriv.open(CORPUS / name)
    patterns = {p["id"]: p for p in doc.patterns()}
    named = [l.adjustment["pattern"] for l in doc.records() if l.adjustment and "pattern" in l.adjustment]
    named += [e["pattern"] for l in doc.records() for e in (l.effects or []) if (e.get("pattern") or {}).get("id")]
    assert named
    for ref in named:
        p = patterns[ref["id"]]
        assert p["name"] == ref["name"]
        channels = 3 + p["has_alpha"] if p["colour_mode"] == "rgb" else p["pixels"].shape[2]
        assert p["pixels"].shape == (p["height"], p["width"], channels)
        assert 0 <= p["pixels"].min() and p["pixels"].max() <= 1


def test_pattern_pixels_are_the_independent_readers(tmp_path):
    # The independent reader saved the pattern as a PNG; the tool's create reads it back for us.
    folder = CORPUS / "ag-psd/test/read/pattern"
    (pattern,) = zuzodoriv.open(folder / "src.psd").patterns()
    png = folder / ("pattern-%s.png" % pattern["id"])
    subprocess.run([CLI, "create", str(tmp_path / "p.psd"), "--size", "%dx%d" % (pattern["width"], pattern["height"]),
                    "--layer", "p=%s" % png], check=True, capture_output=True)
    theirs = zuzodoriv.open(tmp_path / "p.psd").records()[0].numpy()
    ours = (pattern["pixels"] * 255).round()
    assert (theirs[..., :3] == ours).all()
