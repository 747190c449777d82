"""Building, editing and saving: documents read back as written, in PSD and PSB, RLE and ZIP."""
import base64
import gc
import io
import os
import subprocess
import warnings

import numpy as np
import pytest

import zuzodoriv
from conftest import CLI, CORPUS, SAMPLE, independent_reader

DTYPES = {8: np.uint8, 16: np.uint16, 32: np.float32}
FORMS = [(psb, compression) for psb in (False, True) for compression in ("rle", "zip")]
MODES = [("rgb", 8, 3), ("rgb", 16, 3), ("rgb", 32, 3), ("grayscale", 8, 1), ("grayscale", 16, 1),
         ("cmyk", 8, 4), ("cmyk", 16, 4), ("lab", 16, 3)]


def random_pixels(rng, shape, depth):
    if depth == 32:
        return rng.random(shape, dtype=np.float32)
    return rng.integers(0, np.iinfo(DTYPES[depth]).max, shape, dtype=DTYPES[depth], endpoint=True)


@pytest.mark.parametrize("psb,compression", FORMS)
@pytest.mark.parametrize("mode,depth,colour", MODES)
def test_built_document_reads_back(tmp_path, mode, depth, colour, psb, compression):
    rng = np.random.default_rng(depth * 10 + colour)
    doc = zuzodoriv.Document.new(40, 30, mode, depth, resolution=150.0)
    bottom = random_pixels(rng, (30, 40, colour + 1), depth)
    doc.add_layer("bottom", bottom)
    group = doc.add_group("group", opacity=200)
    masked = random_pixels(rng, (7, 9, colour), depth)  # no alpha: opaque
    mask = random_pixels(rng, (7, 9), depth)
    doc.add_layer("masked", masked, left=-3, top=5, opacity=128, blend_mode="mul ", visible=False,
                  mask=mask, parent=group)
    doc.add_layer("top ü", random_pixels(rng, (2, 3, colour + 1), depth), left=38, top=28)
    path = tmp_path / "out.psd"
    doc.save(path, psb=psb, compression=compression)
    back = zuzodoriv.open(path)
    assert (back.width, back.height, back.depth, back.colour_mode, back.is_psb) == (40, 30, depth, mode, psb)
    assert back.resolution == pytest.approx(150.0)
    assert [(l.name, len(l.children)) for l in back.layers] == [("top ü", 0), ("group", 1), ("bottom", 0)]
    (inner,) = back.layers[1].children
    assert inner.parent == back.layers[1]
    assert (inner.name, inner.bbox, inner.opacity, inner.blend_mode, inner.visible) == (
        "masked", (-3, 5, 6, 12), 128, "mul ", False)
    assert back.layers[1].opacity == 200 and back.layers[1].blend_mode == "pass"
    np.testing.assert_array_equal(back.layers[2].numpy(), bottom)
    got = inner.numpy()
    np.testing.assert_array_equal(got[:, :, :colour], masked)
    np.testing.assert_array_equal(inner.mask(), mask)
    assert inner.mask_bbox == inner.bbox
    assert [r.kind for r in back.records()] == ["pixel", None, "pixel", "group", "pixel"]


@pytest.mark.parametrize("psb,compression", FORMS)
def test_opened_document_edited_and_saved(tmp_path, psb, compression):
    doc = zuzodoriv.open(SAMPLE)
    circle = doc.layers[0].children[0]
    background = doc.layers[1]
    new_pixels = np.full((5, 6, 4), 77, np.uint8)
    circle.name = "Disc"
    circle.move_to(1, 2)
    background.visible = False
    circle.set_pixels(new_pixels)
    before = background.numpy().copy()
    path = tmp_path / "edited.psd"
    with pytest.warns(UserWarning):  # the stored composite no longer matches the layers
        doc.save(path, psb=psb, compression=compression)
    back = zuzodoriv.open(path)
    disc = back.layers[0].children[0]
    assert (disc.name, disc.bbox, back.layers[1].visible) == ("Disc", (1, 2, 7, 7), False)
    np.testing.assert_array_equal(disc.numpy(), new_pixels)
    np.testing.assert_array_equal(back.layers[1].numpy(), before)


MOVED = {
    "box-corners": ("webtoon-psd/packages/psd/tests/integration/fixtures/pattern.psd", "Rectangle 1"),
    "line": ("psd-tools/tests/psd_files/stroke.psd", "Shape 1"),
    "non-zero-winding": ("ag-psd/test/read/winding-non-zero/src.psd", "Shape 1"),
    "type": ("psd-tools/tests/psd_files/layers/type-layer.psd", "A"),
    "placed-record": ("ag-psd/test/read/placed-transform/src.psd", None),
    "placed-descriptor": ("ag-psd/test/read/mesh-transform/src.psd", None),
}


def moved(value, dx, dy):
    """Corners, boxes and points as lists of x, y pairs, moved."""
    return [v + (dy if i % 2 else dx) for i, v in enumerate(value)]


@pytest.mark.parametrize("path,name", MOVED.values(), ids=MOVED.keys())
def test_moved_layer_takes_what_it_places(tmp_path, path, name):
    if not (CORPUS / path).exists():
        pytest.skip("no corpus")
    doc = zuzodoriv.open(CORPUS / path)
    layer = next(l for l in doc.descendants() if l.name == name or (name is None and l.smart_object))
    before = {"mask": layer.vector_mask, "shapes": layer.live_shape, "text": layer.text,
              "placed": layer.smart_object}
    layer.move_to(layer.left + 3, layer.top + 1)
    out = tmp_path / "moved.psd"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        doc.save(out)
    back = zuzodoriv.open(out)
    again = back.records()[layer.index]
    assert again.bbox == layer.bbox
    if before["mask"]:
        np.testing.assert_allclose(again.vector_mask["bounds"], moved(before["mask"]["bounds"], 3, 1), atol=1e-3)
    for old, new in zip(before["shapes"] or [], again.live_shape or []):
        assert new["bounds"] == moved(old["bounds"], 3, 1)
        for end in ("start", "end"):
            assert new.get(end, []) == moved(old.get(end, []), 3, 1)
    if before["text"]:
        assert again.text["transform"] == before["text"]["transform"][:4] + moved(before["text"]["transform"][4:], 3, 1)
    if before["placed"]:
        assert again.smart_object["transform"] == moved(before["placed"]["transform"], 3, 1)
    # Drawn from its settings on both sides, the layer read back is the one moved in memory.
    for l in (layer, again):
        l.opacity = 254
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert np.abs(doc.render().astype(int) - back.render().astype(int)).max() <= 2


def test_group_moves_with_its_layers(tmp_path):
    doc = zuzodoriv.Document.new(20, 20)
    doc.add_layer("outside", np.full((2, 2, 4), 9, np.uint8), left=1, top=1)
    group = doc.add_group("group")
    doc.add_layer("a", np.full((2, 3, 4), 50, np.uint8), left=6, top=4, parent=group)
    doc.add_layer("b", np.full((3, 2, 4), 90, np.uint8), left=4, top=7, parent=group)
    group.move_to(10, 12)  # the corner of what it holds
    group.move_by(-1, 0)
    bboxes = {l.name: l.bbox for l in doc.descendants()}
    assert (bboxes["outside"], bboxes["a"], bboxes["b"]) == ((1, 1, 3, 3), (11, 12, 14, 14), (9, 15, 11, 18))
    with pytest.raises(ValueError):
        group.move_by(2**31, 0)
    assert {l.name: l.bbox for l in doc.descendants()} == bboxes  # nothing moved


def test_layers_removed_and_restacked_are_saved_so(tmp_path):
    # Another reader sees the new tree, and the saved document draws as the edited one did.
    doc = zuzodoriv.open(CORPUS / "psd-tools/tests/psd_files/hidden-groups.psd")
    tree = lambda layers: [(l.name, tree(l.children)) if l.is_group else l.name for l in layers]
    assert tree(doc.layers) == [("Group 2", ["Shape 2"]), ("Group 1", ["Shape 1"]), "Background"]
    group1, group2 = (next(l for l in doc.descendants() if l.name == n) for n in ("Group 1", "Group 2"))
    doc.restack_layer(group1, 99, parent=group2)
    doc.remove_layer(next(l for l in doc.descendants() if l.name == "Shape 2"))
    expected = [("Group 2", [("Group 1", ["Shape 1"])]), "Background"]
    assert tree(doc.layers) == expected
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        drawn = doc.render()
        doc.save(tmp_path / "restacked.psd")
        back = zuzodoriv.open(tmp_path / "restacked.psd")
        assert tree(back.layers) == expected
        assert np.array_equal(back.render(), drawn)
    tree_script = "t=lambda g: [(l.name, t(l)) if l.is_group() else l.name for l in reversed(list(g))]\nprint(t(doc))"
    assert independent_reader(tree_script, tmp_path / "restacked.psd").strip() == str(expected)
    with pytest.raises(ValueError):
        doc.restack_layer(group2, 0, parent=group1)  # into itself
    with pytest.raises(ValueError):
        doc.restack_layer(group2, 99)  # below the background
    with pytest.raises(ValueError):
        zuzodoriv.Document.new(4, 4).remove_layer(group1)


def test_masks_replaced_placed_and_removed(tmp_path):
    doc = zuzodoriv.open(CORPUS / "psd-tools/tests/psd_files/masks.psd")
    plain = [l for l in doc.descendants() if l.user_mask is not None and l.real_mask_record is None]
    inverted = 255 - plain[0].mask()
    plain[0].set_mask(inverted)  # where the mask was
    plain[1].set_mask(np.full((5, 6), 200, np.uint8), left=3, top=4, default_colour=255)
    plain[2].set_mask(None)
    names = [l.name for l in plain[:3]]
    with pytest.warns(UserWarning, match="composite"):
        doc.save(tmp_path / "masks.psd")
    back = {l.name: l for l in zuzodoriv.open(tmp_path / "masks.psd").descendants()}
    assert np.array_equal(back[names[0]].mask(), inverted)
    assert back[names[0]].mask_bbox == plain[0].mask_bbox
    assert back[names[1]].mask_bbox == (3, 4, 9, 9) and back[names[1]].user_mask["default_colour"] == 255
    assert back[names[2]].user_mask is None
    masks = independent_reader("for l in doc.descendants(): print(l.name, l.mask and (l.mask.bbox, l.mask.background_color))",
                               tmp_path / "masks.psd")
    assert f"{names[1]} ((3, 4, 9, 9), 255)" in masks and f"{names[2]} None" in masks
    with pytest.raises(TypeError):
        plain[0].set_mask(np.zeros((2, 2), np.uint16))  # not the document's dtype
    with pytest.raises(ValueError):
        plain[0].set_mask(np.zeros((2, 2), np.uint8), default_colour=7)
    real = [l for l in doc.descendants() if l.real_mask_record is not None]
    if real:
        with pytest.raises(ValueError):
            real[0].set_mask(None)


def test_background_refuses_what_it_cannot_keep_until_made_a_layer(tmp_path):
    doc = zuzodoriv.open(CORPUS / "ag-psd/test/read-write/animation-effects/expected.psd")
    bg = doc.descendants()[-1]
    assert bg.background and bg.numpy().shape[2] == 3
    pixels = bg.numpy().copy()
    for what, edit in [("effects", lambda: bg.add_effect("ColorOverlay")),
                       ("mask", lambda: bg.set_mask(np.zeros((4, 4), np.uint8))),
                       ("fill opacity", lambda: setattr(bg, "fill_opacity", 100)),
                       ("opacity", lambda: setattr(bg, "opacity", 100)),
                       ("blend mode", lambda: setattr(bg, "blend_mode", "mul "))]:
        with pytest.raises(ValueError, match=f"background layer takes no {what}"):
            edit()
    bg.background = False
    with pytest.raises(ValueError):
        bg.background = True
    bg.add_effect("ColorOverlay")
    bg.set_mask(np.zeros((4, 4), np.uint8), left=0, top=0)
    bg.fill_opacity = 100
    bg.blend_mode = "mul "
    with pytest.warns(UserWarning, match="composite"):
        doc.save(tmp_path / "bg.psd")
    back = zuzodoriv.open(tmp_path / "bg.psd").descendants()[-1]
    assert not back.background and not any(back.locks.values())
    assert [e["type"] for e in back.effects] == ["ColorOverlay"]
    assert back.mask_bbox == (0, 0, 4, 4) and back.fill_opacity == 100 and back.blend_mode == "mul "
    assert np.array_equal(back.numpy()[..., :3], pixels) and back.numpy()[..., 3].min() == 255


def test_effects_changed_and_saved(tmp_path):
    doc = zuzodoriv.open(CORPUS / "ag-psd/test/read/effects/src.psd")
    shadow = next(l for l in doc.layers if l.name == "drop shadow")
    glow = next(l for l in doc.layers if l.name == "inner outer glow")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        drawn = doc.render()
    cone = {"name": "Cone", "points": [[0, 0], [128, 255], [255, 0]]}
    shadow.set_effect(0, {"opacity": 30, "distance": 12, "color": {"model": "rgb", "values": [0, 0, 255]},
                          "contour": cone})
    glow.effects_enabled = False
    glow.effects_scale = 50
    with pytest.raises(ValueError, match="must be a number from 0 to 100"):
        shadow.set_effect(0, {"opacity": 101, "distance": 3})
    with pytest.raises(IndexError):
        shadow.set_effect(5, {})
    with pytest.raises(TypeError, match="plain numbers"):
        shadow.set_effect(0, {"opacity": object()})
    bare = next(l for l in doc.layers if l.name == "solid fill")
    bare.remove_effect(0)
    kinds = ("DropShadow", "InnerShadow", "OuterGlow", "InnerGlow", "BevelEmboss", "ColorOverlay", "GradientOverlay",
             "Stroke", "Satin")
    for kind in kinds:
        bare.add_effect(kind, {"enabled": kind != "Satin"})
    with pytest.raises(ValueError, match="a pattern overlay is added with"):
        bare.add_effect("PatternOverlay")
    with pytest.raises(ValueError, match="effects added are"):
        bare.add_effect("Sparkle")
    ramp = {"color_stops": [{"location": 0, "color": {"model": "rgb", "values": [255, 0, 0]}},
                            {"location": 2048, "midpoint": 25, "color": {"model": "rgb", "values": [0, 255, 0]}},
                            {"location": 4096, "color": {"model": "rgb", "values": [0, 0, 255]}}]}
    overlay = next(i for i, e in enumerate(bare.effects) if e["type"] == "GradientOverlay")
    bare.set_effect(overlay, {"gradient": ramp, "gradient_type": "reflected"})
    with pytest.raises(ValueError, match="at least two color stops"):
        bare.set_effect(overlay, {"gradient": {"color_stops": ramp["color_stops"][:1]}})
    changed = (shadow.effects, glow.effects_enabled, glow.effects_scale, bare.effects)
    assert changed[0][0]["distance"] == 12 and changed[1:3] == (False, 50.0) and len(changed[3]) == len(kinds)
    assert [s["midpoint"] for s in changed[3][overlay]["gradient"]["color_stops"]] == [50, 25, 50]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert not np.array_equal(doc.render(), drawn)
        doc.save(tmp_path / "effects.psd")
    back = {l.name: l for l in zuzodoriv.open(tmp_path / "effects.psd").layers}
    assert (back["drop shadow"].effects, back[glow.name].effects_enabled, back[glow.name].effects_scale,
            back["solid fill"].effects) == changed
    assert back["drop shadow"].effects[0]["contour"] == dict(cone, default=False)
    script = ("e=list([l for l in doc if l.name=='drop shadow'][0].effects)[0]; print(e.opacity, e.distance, e.color[b'Bl  '])\n"
              "print(len(e.contour[b'Crv ']))\n"
              "g=[e for e in [l for l in doc if l.name=='solid fill'][0].effects if 'Gradient' in type(e).__name__][0]\n"
              "print(len(g.gradient[b'Clrs']))")
    assert independent_reader(script, tmp_path / "effects.psd").split() == ["30.0", "12.0", "255.0", "3", "3"]


def test_adjustments_changed_and_saved(tmp_path):
    doc = zuzodoriv.open(CORPUS / "psd-tools/tests/psd_files/fill_adjustments.psd")
    layer = {l.adjustment["kind"]: l for l in doc.descendants() if l.adjustment}
    layer["brightnesscontrast"].set_adjustment({"brightness": 35, "contrast": -10})
    layer["solidcolorfill"].set_adjustment({"color": {"model": "rgb", "values": [10, 200, 30]}})
    layer["levels"].set_adjustment({"channels": [{"input": [20, 230], "output": [0, 255], "gamma": 1.2}]})
    curve = [[0, 0], [64, 40], [192, 220], [255, 255]]
    layer["curves"].set_adjustment({"channels": [{"channel": 1, "points": curve}]})
    layer["photofilter"].set_adjustment({"color": {"model": "lab", "values": [50, -20, 40]}})
    with pytest.raises(ValueError, match="must be a whole number from 2 to 255"):
        layer["posterize"].set_adjustment({"levels": 300})
    with pytest.raises(ValueError, match="not an adjustment or fill layer"):
        next(l for l in doc.descendants() if l.kind == "pixel").set_adjustment({})
    changed = {k: l.adjustment for k, l in layer.items()}
    with pytest.warns(UserWarning, match="composite"):
        doc.save(tmp_path / "adjusted.psd")
    back = {l.adjustment["kind"]: l.adjustment for l in zuzodoriv.open(tmp_path / "adjusted.psd").descendants() if l.adjustment}
    assert back == changed
    assert back["brightnesscontrast"]["brightness"] == 35 and back["levels"]["channels"][0]["input"] == [20, 230]
    assert back["curves"]["channels"][1] == {"channel": 1, "points": curve}
    assert [round(v) for v in back["photofilter"]["color"]["values"]] == [50, -20, 40]
    # The independent reader's (output, input) pairs of the green curve, from the newer records.
    script = "c=[l for l in doc.descendants() if l.kind=='curves'][0].data\nprint([(e.channel_id, e.points) for e in c.extra])"
    assert "(1, [(0, 0), (40, 64), (220, 192), (255, 255)])" in independent_reader(script, tmp_path / "adjusted.psd")


def test_adjustment_layers_added(tmp_path):
    doc = zuzodoriv.Document.new(16, 8)
    pixels = np.zeros((8, 16, 4), np.uint8)
    pixels[..., 0], pixels[..., 1], pixels[..., 2], pixels[..., 3] = np.arange(16)[None, :] * 16, 90, 200, 255
    base = doc.add_layer("base", pixels)
    # Those whose new settings change nothing, then one that does.
    unchanged = ["levels", "curves", "brightnesscontrast", "huesaturation", "colorbalance", "channelmixer",
                 "colorlookup", "selectivecolor", "exposure", "vibrance"]
    for kind in unchanged:
        doc.add_adjustment_layer(kind)
    group = doc.add_group("g")
    doc.add_adjustment_layer("posterize", {"levels": 2}, name="Two levels", parent=group)
    doc.add_adjustment_layer("solidcolorfill", {"color": {"model": "rgb", "values": [0, 0, 255]}}, opacity=128,
                             visible=False)
    with pytest.raises(ValueError, match='adjustment layers added are "levels"'):
        doc.add_adjustment_layer("sharpen")
    with pytest.raises(ValueError, match="a pattern fill is added with"):
        doc.add_adjustment_layer("patternfill")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # settings that change nothing are drawn exactly, unnamed
        rendered = doc.render()
    assert np.array_equal(rendered[..., :3], np.where(pixels[..., :3] >= 128, 255, 0))
    doc.save(tmp_path / "added.psd")
    back = zuzodoriv.open(tmp_path / "added.psd")
    assert [l.kind for l in back.descendants()] == [l.kind for l in doc.descendants()]
    # Each has the editor's empty white mask, with its channel.
    added = [l for l in back.descendants() if l.adjustment]
    assert all(l.user_mask["default_colour"] == 255 and l.mask_bbox == (0, 0, 0, 0) and
               (-2, 2) in [(c["id"], c["length"]) for c in l.channels] for l in added)
    assert next(l for l in back.descendants() if l.name == "Two levels").adjustment == {"kind": "posterize",
                                                                                      "levels": 2}
    assert np.array_equal(back.render(), rendered)
    script = "print(' '.join(l.kind for l in doc.descendants()))"
    assert independent_reader(script, tmp_path / "added.psd").split() == [
        "pixel"] + unchanged + ["group", "posterize", "solidcolorfill"]


def test_patterns_set_on_fills_and_overlays(tmp_path):
    doc = zuzodoriv.open(CORPUS / "psd-tools/tests/psd_files/patterns.psd")
    water, grid = doc.patterns()[1], doc.patterns()[2]
    fill = next(l for l in doc.descendants() if l.name == "Rectangle 1")
    shape = next(l for l in doc.descendants() if l.name == "Rectangle 1 copy 5")
    fill.set_adjustment({"pattern": {"id": water["id"]}, "scale": 50})
    shape.add_effect("PatternOverlay", {"pattern": {"id": grid["id"]}, "opacity": 40})
    with pytest.raises(ValueError, match='the document holds no pattern "nope"'):
        fill.set_adjustment({"pattern": {"id": "nope"}})
    out = tmp_path / "patterns.psd"
    with pytest.warns(UserWarning, match="composite"):
        doc.save(out)
    back = {l.name: l for l in zuzodoriv.open(out).descendants()}
    assert back["Rectangle 1"].adjustment["pattern"] == {"name": water["name"], "id": water["id"]}
    overlay = back["Rectangle 1 copy 5"].effects[0]
    assert (overlay["type"], overlay["pattern"]["id"], overlay["opacity"]) == ("PatternOverlay", grid["id"], 40)
    # The overlay is drawn from the grid over the shape's own fill.
    plain = next(l for l in zuzodoriv.open(CORPUS / "psd-tools/tests/psd_files/patterns.psd").descendants()
                 if l.name == "Rectangle 1 copy 5")
    assert not np.array_equal(back["Rectangle 1 copy 5"].render(), plain.render())


def test_save_to_a_file_object_and_composite():
    doc = zuzodoriv.Document.new(8, 4)
    image = np.arange(8 * 4 * 3, dtype=np.uint8).reshape(4, 8, 3)
    doc.set_composite(image)
    out = io.BytesIO()
    doc.save(out)
    back = zuzodoriv.open(out.getvalue())
    np.testing.assert_array_equal(back.composite()[:, :, :3], image)


class Stop(Exception):
    pass


@pytest.mark.parametrize("stop_at", [0, 1, 3])
def test_progress_and_cancel_leave_no_file(tmp_path, stop_at):
    doc = zuzodoriv.Document.new(64, 64)
    for i in range(4):
        doc.add_layer("l%d" % i, np.full((64, 64, 4), i, np.uint8))
    seen = []
    doc.save(tmp_path / "whole.psd", progress=lambda done, total: seen.append((done, total)))
    assert seen[0][0] == 0 and seen[-1][0] == seen[-1][1] > 4
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)

    def cancel(done, total):
        if done >= stop_at:
            raise Stop(done)
    with pytest.raises(Stop):
        doc.save(tmp_path / "cancelled.psd", progress=cancel)
    assert sorted(os.listdir(tmp_path)) == ["whole.psd"]


@pytest.mark.parametrize("bad", [
    lambda d: d.add_layer("x", np.zeros((2, 2, 4), np.uint16)),  # wrong dtype
    lambda d: d.add_layer("x", np.zeros((2, 2, 5), np.uint8)),  # wrong channel count
    lambda d: d.add_layer("x", np.zeros((2, 2, 4), np.uint8), blend_mode="nope"),
    lambda d: d.add_layer("x", np.zeros((2, 2, 4), np.uint8), parent=d.records()[0]),
    lambda d: d.set_composite(np.zeros((3, 3, 3), np.uint8)),
    lambda d: d.save("/nonexistent/dir/x.psd"),
    lambda d: zuzodoriv.Document.new(30001, 1),
    lambda d: zuzodoriv.Document.new(1, 1, "rgb", 12),
])
def test_bad_building_arguments_raise(bad):
    doc = zuzodoriv.Document.new(4, 4)
    doc.add_layer("a", np.zeros((2, 2, 4), np.uint8))
    with pytest.raises((TypeError, ValueError, zuzodoriv.Error)):
        bad(doc)


def test_png_of_a_layer(tmp_path):
    layer = zuzodoriv.open(SAMPLE).layers[0].children[0]
    zuzodoriv.write_png(tmp_path / "layer.png", layer.numpy())
    # The tool reads the PNG back into a layer of a new document.
    subprocess.run([CLI, "create", str(tmp_path / "png.psd"), "--size", "32x32",
                    "--layer", "l=%s" % (tmp_path / "layer.png")], check=True)
    back = zuzodoriv.open(tmp_path / "png.psd").records()[0].numpy()
    np.testing.assert_array_equal(back, layer.numpy())


def test_arrays_share_decodes_and_release_them_but_never_edits(tmp_path):
    doc = zuzodoriv.open(SAMPLE)
    circle, background = doc.layers[0].children[0], doc.layers[1]
    a = background.numpy()
    assert background.numpy() is a
    kept = a.copy()
    del a
    gc.collect()
    again = background.numpy()  # decoded afresh once the last array went
    np.testing.assert_array_equal(again, kept)
    old = circle.numpy()
    new_pixels = np.full((5, 6, 4), 9, np.uint8)
    circle.set_pixels(new_pixels)
    shown = circle.numpy()
    assert shown is not old and not np.array_equal(shown, old)
    del shown, old
    gc.collect()  # the edit is the layer's own: it outlives its arrays
    with pytest.warns(UserWarning):
        doc.save(tmp_path / "e.psd")
    back = zuzodoriv.open(tmp_path / "e.psd")
    np.testing.assert_array_equal(back.layers[0].children[0].numpy(), new_pixels)
    np.testing.assert_array_equal(back.layers[1].numpy(), kept)


def test_colour_lookup_table_set_and_saved(tmp_path):
    src = CORPUS / "ag-psd/test/read/adjustment-layers/src.psd"
    doc = zuzodoriv.open(src)
    layers = doc.layers
    lookup = next(l for l in layers if l.kind == "colorlookup")
    for l in layers[:layers.index(lookup)]:
        l.visible = False  # the threshold and others above would hide what the lookup does
    lookup.visible = False
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        below = doc.render().astype(int)
        lookup.visible = True
        # Inverts by a 3DL table: blue varies fastest, 12-bit steps.
        lines = ["0 1023"] + [" ".join(str(4095 - 4095 * v) for v in (i >> 2, i >> 1 & 1, i & 1)) for i in range(8)]
        lookup.set_adjustment({"table": {"format": "3dl", "data": "\n".join(lines), "name": "invert.3dl"}})
        inverted = doc.render().astype(int)
    opaque = below[..., 3] == 255
    assert opaque.sum() > 100
    assert np.abs(inverted[opaque][:, :3] - (255 - below[opaque][:, :3])).max() <= 1
    with pytest.raises(ValueError, match='"table" of colorlookup holds a 3DL table that does not read'):
        lookup.set_adjustment({"table": {"format": "3dl", "data": "0 1023\n1 2 3"}})
    with pytest.warns(UserWarning, match="composite"):
        doc.save(tmp_path / "lookup.psd")
    back = zuzodoriv.open(tmp_path / "lookup.psd")
    saved = next(l for l in back.layers if l.kind == "colorlookup")
    assert saved.adjustment["lut_format"] == "LUTFormat3DL"
    # The descriptor gives the embedded file whole.
    items = {i["key"]: i["value"] for i in saved.descriptor("clrL")["items"]}
    assert base64.b64decode(items["LUT3DFileData"]["base64"]).decode() == "\n".join(lines)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert np.abs(back.render().astype(int) - inverted).max() <= 1
    # The independent reader finds the table file and the device link made from it.
    script = ("l=[l for l in doc.descendants() if l.kind=='colorlookup'][0]\n"
              "d=l.tagged_blocks.get_data(b'clrL')\n"
              "print(d[b'LUT3DFileData'].value.split(b'\\n')[0].decode(), d[b'profile'].value[12:16].decode())")
    assert independent_reader(script, tmp_path / "lookup.psd").split() == ["0", "1023", "link"]
