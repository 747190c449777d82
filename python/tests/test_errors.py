"""Bad input raises zuzodoriv.Error (the right subclass) with the report's message, never crashes."""
import io
import struct
import subprocess
import sys

import pytest

import zuzodoriv
from conftest import CORPUS, SAMPLE, info_json

SAMPLE_BYTES = SAMPLE.read_bytes()


def patched(offset, data):
    b = bytearray(SAMPLE_BYTES)
    b[offset:offset + len(data)] = data
    return bytes(b)


CASES = [
    ("signature", patched(0, b"8BPX"), zuzodoriv.Error),
    ("version", patched(4, struct.pack(">H", 3)), zuzodoriv.UnsupportedError),
    ("depth", patched(22, struct.pack(">H", 17)), zuzodoriv.UnsupportedError),
    ("empty", b"", zuzodoriv.Error),
    ("cut in the header", SAMPLE_BYTES[:10], zuzodoriv.Error),
] + [("cut at %d" % n, SAMPLE_BYTES[:n], zuzodoriv.TruncatedError) for n in (26, 30, 100, 200, 1000)]


@pytest.mark.parametrize("name,data,cls", CASES, ids=[c[0] for c in CASES])
def test_bad_input_raises_the_reports_message(tmp_path, name, data, cls):
    path = tmp_path / "bad.psd"
    path.write_bytes(data)
    for source in (path, str(path), data, memoryview(data), io.BytesIO(data)):
        with pytest.raises(cls) as e:
            zuzodoriv.open(source)
        assert type(e.value) is cls
        assert str(e.value) == info_json(path)["error"]


def test_error_classes():
    assert issubclass(zuzodoriv.TruncatedError, zuzodoriv.Error)
    assert issubclass(zuzodoriv.UnsupportedError, zuzodoriv.Error)
    assert issubclass(zuzodoriv.OutOfMemoryError, zuzodoriv.Error)
    assert issubclass(zuzodoriv.OutOfMemoryError, MemoryError)
    with pytest.raises(zuzodoriv.Error, match="cannot open"):
        zuzodoriv.open("/nonexistent/document.psd")


def test_every_cut_of_a_document_fails_cleanly():
    # In a child process, so that a crash shows as a failure instead of taking pytest down.
    code = (
        "import zuzodoriv, sys\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "for n in range(len(data)):\n"
        "    try:\n"
        "        d = zuzodoriv.open(data[:n])\n"
        "        [l.numpy() for l in d.records()]; d.composite()\n"
        "    except zuzodoriv.Error:\n"
        "        pass\n"
    )
    run = subprocess.run([sys.executable, "-c", code, str(SAMPLE)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_text_that_is_not_utf8_is_shown_replaced():
    path = CORPUS / "psd-tools/tests/psd_files/effects/shape-fx.psd"
    if not path.exists():
        pytest.skip("corpus absent")
    data = bytearray(path.read_bytes())
    at = data.find(b"masterFXSwitch", data.find(b"lfx2"))
    data[at + 1] = 0xA9  # a string key's byte that is no UTF-8
    doc = zuzodoriv.open(bytes(data))
    keys = [item["key"] for layer in doc.records() if (d := layer.descriptor("lfx2")) for item in d["items"]]
    assert "m\ufffdsterFXSwitch" in keys
