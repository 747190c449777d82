"""Vector data through the module equals what info --json gives for the same documents, and a saved
document gives its masks back."""
import pytest

import zuzodoriv
from conftest import CORPUS, info_json

CASES = ["ag-psd/test/read/vector-complex/src.psd", "ag-psd/test/read/key-origin-shape-bbox/src.psd",
         "psd-tools/tests/psd_files/path-operations/subtract-all.psd"]


@pytest.mark.parametrize("name", CASES)
def test_vector_matches_info(name, tmp_path):
    path = CORPUS / name
    if not path.exists():
        pytest.skip("corpus absent")
    doc = zuzodoriv.open(str(path))
    info = info_json(path)
    assert doc.paths == info.get("paths", [])
    for layer, ours in zip(doc.records(), info["layers"]):
        for field in ("vector_mask", "vector_stroke", "live_shape"):
            assert getattr(layer, field) == ours.get(field), field
    saved = tmp_path / "saved.psb"
    doc.save(str(saved))
    again = zuzodoriv.open(str(saved))
    assert [l.vector_mask for l in again.records()] == [l.vector_mask for l in doc.records()]
