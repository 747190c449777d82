"""Shared fixtures: the corpus (skipped when absent), the command-line tool, plane hashes."""
import csv
import hashlib
import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

SOURCE = pathlib.Path(os.environ.get("ZUZODORIV_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
CORPUS = pathlib.Path(os.environ.get("ZUZODORIV_CORPUS", SOURCE.parent / "shared" / "corpus"))
CLI = os.environ.get("ZUZODORIV_CLI", str(SOURCE / "build" / "zuzodoriv"))
SAMPLE = SOURCE / "samples" / "sample.psd"


def independent_reader(script, path):
    """What a script given `doc`, the independent Python reader's view of path, prints."""
    code = "import psd_tools,sys\ndoc=psd_tools.PSDImage.open(sys.argv[1])\n" + script
    run = subprocess.run(["/usr/bin/python3", "-c", code, str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout


def corpus_documents():
    """(path, reference path) of every PSD/PSB document; byte duplicates use their original's."""
    manifest = CORPUS / "MANIFEST.tsv"
    if not manifest.exists():
        return []
    out = []
    with open(manifest, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            path = row["path"]
            if not path.lower().endswith((".psd", ".psb")):
                continue
            ref = CORPUS / ((row.get("duplicate_of") or path) + ".ref.json")
            if ref.exists():
                out.append(pytest.param(CORPUS / path, ref, id=path))
    return out


def reference(path):
    with open(path) as f:
        return json.load(f)


def info_json(path):
    """What `zuzodoriv info --json` says about one document."""
    run = subprocess.run([CLI, "info", "--json", str(path)], capture_output=True, text=True)
    return json.loads(run.stdout)


def plane_hash(plane, depth):
    """SHA-256 of one plane's samples as the document stores them: big-endian, at its depth."""
    plane = np.asarray(plane)
    if plane.dtype == np.uint16 and depth == 8:  # 8-bit Lab is widened by 257
        plane = (plane >> 8).astype(np.uint8)
    big = {np.dtype(np.uint8): ">u1", np.dtype(np.uint16): ">u2", np.dtype(np.float32): ">f4"}
    return hashlib.sha256(np.ascontiguousarray(plane.astype(big[plane.dtype])).tobytes()).hexdigest()


def uninvert(plane, inverted):
    """The mask's samples before the record's invert flag was applied."""
    if not inverted:
        return plane
    if plane.dtype == np.float32:
        return np.float32(1.0) - plane
    return np.iinfo(plane.dtype).max - plane
