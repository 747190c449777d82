"""Document.render and Layer.render: shapes and types, the stored composite, warnings for what is
not drawn, options, and ZIP layers drawn the same by bands."""
import warnings

import numpy as np
import pytest
import zuzodoriv

from conftest import CORPUS, SAMPLE


def within(a, b, levels=2):
    """Share of pixels whose colour channels all lie within `levels` (of 255) of the other's."""
    top = 255 if a.dtype == np.uint8 else 65535
    d = np.abs(a[..., :3].astype(np.int64) - b[..., :3].astype(np.int64)) * 255 / top
    return float((d <= levels).all(axis=-1).mean())


def corpus(path):
    p = CORPUS / path
    if not p.exists():
        pytest.skip("no corpus")
    return zuzodoriv.open(p)


def test_document_render_matches_its_composite_and_scales():
    doc = zuzodoriv.open(SAMPLE)
    img = doc.render()
    assert img.shape == (doc.height, doc.width, doc.channels + 1) and img.dtype == np.uint8
    assert within(img, doc.composite()) >= 0.99
    # Rounded to the nearest pixel, at least one.
    assert doc.render(scale=0.3).shape[:2] == (round(doc.height * 0.3), round(doc.width * 0.3))
    assert doc.render(scale=0.001).shape[:2] == (1, 1)
    with pytest.raises(ValueError):
        doc.render(scale=0)


def test_layer_render_is_the_layer_alone():
    doc = zuzodoriv.open(SAMPLE)
    layer = next(l for l in doc.descendants() if not l.is_group and l.width and l.height)
    img = layer.render()
    assert img.shape[:2] == (doc.height, doc.width)
    inside = np.zeros(img.shape[:2], bool)
    inside[layer.top:layer.bottom, layer.left:layer.right] = True
    assert img[inside, -1].any()
    assert not img[~inside, -1].any()  # nothing outside its bounds (it has no effects reaching out)
    # Halved: each pixel averages four, its colour weighted by their coverage.
    half = layer.render(scale=0.5).astype(float)
    quads = img[:half.shape[0] * 2, :half.shape[1] * 2].astype(float)
    quads = quads.reshape(half.shape[0], 2, half.shape[1], 2, -1)
    alpha = quads[..., -1].sum(axis=(1, 3))
    colour = (quads[..., :-1] * quads[..., -1:]).sum(axis=(1, 3)) / np.maximum(alpha, 1)[..., None]
    seen = alpha >= 4 * 16
    assert np.abs(half[..., -1] - alpha / 4).max() <= 1
    assert np.abs(half[..., :-1] - colour)[seen].max() <= 2


def rendered_warnings(doc):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        doc.render()
    return [str(w.message) for w in caught]


def test_undrawn_features_warn():
    doc = corpus("psd-tools/tests/psd_files/blend-modes/dissolve.psd")
    assert any("not drawn: dissolve" in w for w in rendered_warnings(doc))
    # Text replaced without redrawing shows the pixels read with the old one.
    doc = corpus("psd-tools/tests/psd_files/layers/type-layer.psd")
    layer = next(l for l in doc.descendants() if l.kind == "type")
    stale = "not drawn: type layer whose text was replaced (drawn from its pixels as read)"
    assert stale not in rendered_warnings(doc)
    layer.set_text("Other words", redraw=False)
    layer.numpy()  # decoded, not replaced
    assert stale in rendered_warnings(doc)
    layer.set_text("Other words")
    assert stale not in rendered_warnings(doc)


@pytest.mark.parametrize("path", ["psd-tools/tests/psd_files/32bit.psd",
                                  "tiff/rgb16-zippred-group-masks_MM.tif"])
def test_zip_layers_by_bands_draw_the_same(path):
    doc = corpus(path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # By bands first: a whole decode stays cached in the layers.
        bands = doc.render(whole_zip_bytes=0)
        whole = doc.render()
    assert bands.dtype == whole.dtype and bands.dtype != np.uint8
    assert np.array_equal(bands, whole, equal_nan=bands.dtype.kind == "f")
