"""Pixels from several threads at once, and arrays that outlive their document."""
import gc
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import zuzodoriv
from conftest import SAMPLE, corpus_documents


def layered_document(layers=24, side=96):
    rng = np.random.default_rng(7)
    doc = zuzodoriv.Document.new(side, side, "rgb", 16)
    for i in range(layers):
        doc.add_layer("l%d" % i, rng.integers(0, 65535, (side, side, 4), dtype=np.uint16))
    return doc


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_decoding_one_document(tmp_path, threads):
    layered_document().save(tmp_path / "t.psd", compression="zip")
    expected = [l.numpy().copy() for l in zuzodoriv.open(tmp_path / "t.psd").records()]
    doc = zuzodoriv.open(tmp_path / "t.psd")
    records = doc.records()
    results = [[None] * len(records) for _ in range(threads)]
    start = threading.Barrier(threads)

    def work(t):
        start.wait()
        # Every thread asks for every layer, each in its own order: first requests collide.
        order = list(range(len(records)))[t % len(records):] + list(range(len(records)))[:t % len(records)]
        for i in order:
            results[t][i] = records[i].numpy()
    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
    for t in range(threads):
        for i, want in enumerate(expected):
            np.testing.assert_array_equal(results[t][i], want)
            # One decode, shared by all.
            assert results[t][i].__array_interface__["data"][0] == results[0][i].__array_interface__["data"][0]


def test_threads_dropping_arrays_while_others_decode(tmp_path):
    # Each array is let go at once, so its layer's bitmap is released while other threads decode.
    layered_document(layers=6, side=64).save(tmp_path / "t.psd", compression="zip")
    doc = zuzodoriv.open(tmp_path / "t.psd")
    records = doc.records()
    want = [int(r.numpy().sum()) for r in records]
    gc.collect()
    sums = []

    def work():
        sums.append([[int(r.numpy().sum()) for r in records] for _ in range(10)])
    pool = [threading.Thread(target=work) for _ in range(4)]
    for p in pool:
        p.start()
    for p in pool:
        p.join()
    assert all(s == want for rounds in sums for s in rounds)


def test_first_arrays_of_a_process_from_threads(tmp_path):
    # A fresh interpreter whose very first arrays are asked for from several threads at once.
    layered_document(layers=8, side=16).save(tmp_path / "t.psd")
    script = (
        "import concurrent.futures as f, sys, zuzodoriv\n"
        "doc = zuzodoriv.open(sys.argv[1])\n"
        "with f.ThreadPoolExecutor(8) as pool:\n"
        "    jobs = [pool.submit(doc.composite)] + [pool.submit(r.numpy) for r in doc.records()]\n"
        "    print(sum(j.result().nbytes for j in jobs if j.result() is not None))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "t.psd")], env=env,
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == 9 * 16 * 16 * 4 * 2 - 16 * 16 * 2


def test_arrays_outlive_their_documents():
    kept = []
    for path in [SAMPLE] + [p.values[0] for p in corpus_documents()[:40]]:
        try:
            doc = zuzodoriv.open(path)
            arrays = [l.numpy() for l in doc.records()] + [doc.composite()]
            kept += [(a, a.copy()) for a in arrays if a is not None and a.size]
        except zuzodoriv.Error:
            pass
    del doc
    gc.collect()
    junk = [np.full(a.shape, 3, a.dtype) for a, _ in kept]  # reuse any freed memory
    for a, c in kept:
        np.testing.assert_array_equal(a, c)
        assert not a.flags.writeable
    assert junk
