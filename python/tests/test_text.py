"""Type layers: layer.text is what info --json gives, and a text replaced through set_text is saved
with its styles and read back, by this module and by the independent reader."""
import pytest

import zuzodoriv
from conftest import CORPUS, independent_reader, info_json

DOCS = ["ag-psd/test/read/text-paragraph-align/src.psd", "ag-psd/test/read/text-simple/src.psd",
        "psd-tools/tests/psd_files/layers/type-layer.psd"]


@pytest.mark.parametrize("path", DOCS)
def test_text_matches_info_json(path):
    doc = zuzodoriv.open(CORPUS / path)
    ours = [l.text for l in doc.records()]
    theirs = [l.get("text") for l in info_json(CORPUS / path)["layers"]]
    assert ours == theirs
    assert any(ours)


def test_replaced_text_keeps_its_styles(tmp_path):
    doc = zuzodoriv.open(CORPUS / DOCS[1])
    layer = next(l for l in doc.records() if l.text)
    before, old = layer.text, (layer.left, layer.top, layer.right, layer.bottom)
    assert layer.set_text("Hi there\rsecond line") in ([], [before["runs"][0]["font"]])
    # Drawn again: two lines, and the pixels stand where the layer now says.
    assert layer.bottom - layer.top > 1.5 * (old[3] - old[1])
    assert layer.numpy().shape[:2] == (layer.bottom - layer.top, layer.right - layer.left)
    out = tmp_path / "edited.psd"
    doc.save(out)
    back = next(l for l in zuzodoriv.open(out).records() if l.text)
    assert back.text["content"] == "Hi there\rsecond line"
    assert back.text["runs"][0]["font"] == before["runs"][0]["font"]
    assert back.text["runs"][0]["color"] == before["runs"][0]["color"]
    assert sum(r["length"] for r in back.text["runs"]) == len("Hi there\rsecond line")
    seen = independent_reader("print([(l.text, l.bbox) for l in doc.descendants() if l.kind == 'type'])", out)
    assert "Hi there" in seen
    assert str((back.left, back.top, back.right, back.bottom)) in seen
    # Script A is drawn from the one installed font that has it; no installed font has the emoji.
    with pytest.warns(UserWarning, match="^1 characters have no glyph"):
        layer.set_text("H\U0001D49C\U0001F923")
    with pytest.raises(ValueError):
        next(l for l in zuzodoriv.open(CORPUS / DOCS[0]).records() if not l.text).set_text("x")


def test_warped_text_is_replaced_unconverted(tmp_path):
    # Warped text is not converted to runs, but its text can still be replaced and saved.
    doc = zuzodoriv.open(CORPUS / "ag-psd/test/read/text-complex/src.psd")
    layer = next(l for l in doc.records() if l.text and l.text["warp"]["style"] != "warpNone")
    layer.set_text("Warped\rstill")
    out = tmp_path / "warped.psd"
    doc.save(out)
    back = next(l for l in zuzodoriv.open(out).records() if l.text and l.name == layer.name)
    assert back.text["content"] == "Warped\rstill"


def test_text_and_paragraph_styles_set_on_ranges(tmp_path):
    # "ell" of "Hello" becomes bold, red and smaller in an installed font; the rest keeps its runs.
    doc = zuzodoriv.open(CORPUS / DOCS[1])
    layer = next(l for l in doc.records() if l.text)
    before, ink = layer.text["runs"], int(layer.numpy()[..., 3].astype(int).sum())
    red = {"model": "rgb", "values": [255, 0, 0]}
    assert layer.set_text_style({"font": "DejaVuSans-Bold", "size": 30, "color": red,
                                 "faux_bold": True}, start=1, length=3) == ["MyriadPro-Regular"]
    runs = layer.text["runs"]
    assert [(r["start"], r["length"]) for r in runs] == [(0, 1), (1, 3), (4, 1)] and runs[0] == before[0]
    assert (runs[1]["font"], runs[1]["size"], runs[1]["color"]) == ("DejaVuSans-Bold", 30, red)
    assert int(layer.numpy()[..., 3].astype(int).sum()) < ink  # smaller letters, less ink
    # A second paragraph of its own, centred: paragraph runs end where paragraphs do.
    layer.set_text("Hel\rlo", redraw=False)
    layer.set_paragraph_style({"justification": 2}, start=4, length=1)
    out = tmp_path / "styled.psd"
    doc.save(out)
    assert next(l for l in zuzodoriv.open(out).records() if l.text).text == layer.text
    seen = independent_reader(
        "l = next(l for l in doc.descendants() if l.kind == 'type')\n"
        "r = l.engine_dict['ParagraphRun']\n"
        "print(list(l.engine_dict['StyleRun']['RunLengthArray']), [f['Name'] for f in l.resource_dict['FontSet']],"
        " [p['ParagraphSheet']['Properties'].get('Justification') for p in r['RunArray']], list(r['RunLengthArray']))", out)
    assert "[1, 1, 2, 3] ['AdobeInvisFont', 'MyriadPro-Regular', 'DejaVuSans-Bold'] [0, 2] [4, 3]" in seen
    with pytest.raises(ValueError, match="must lie within"):
        layer.set_text_style({"size": 10}, start=4, length=3)
