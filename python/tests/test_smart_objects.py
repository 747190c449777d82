"""Placed layers, linked files and layered TIFF files through the module, against info --json."""
import json
import subprocess

import pytest

import zuzodoriv
from conftest import CLI, CORPUS

CASES = ["psd-tools/tests/psd_files/placedLayer.psd", "ag-psd/test/read/placed-transform/src.psd",
         "tiff/rgb16-zippred-group-masks_II.tif"]


@pytest.mark.parametrize("rel", CASES)
def test_smart_objects_and_linked_files_as_info_gives_them(rel):
    path = CORPUS / rel
    if not path.exists():
        pytest.skip("corpus document missing")
    info = json.loads(subprocess.run([CLI, "info", "--json", str(path)], capture_output=True, text=True).stdout)
    doc = zuzodoriv.open(path)
    assert [l.smart_object for l in doc.records()] == [l.get("smart_object") for l in info["layers"]]
    linked = doc.linked_data
    assert [(f.id, f.content, f.size) for f in linked] == \
        [(e["id"], e["kind"], e["size"]) for e in info.get("linked_data", [])]
    for f in linked:
        entry = next(e for e in info["linked_data"] if e["id"] == f.id)
        assert len(f.data) == f.size
        if f.content == "document":
            assert (f.document.height, f.document.width) == (entry["height"], entry["width"])
        if f.content == "image":
            assert f.image.shape[:2] == (entry["height"], entry["width"])
