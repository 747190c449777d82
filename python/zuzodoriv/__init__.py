"""Layered Photoshop documents (PSD and PSB): layers, descriptors and pixels as NumPy arrays.

Everything here is the C++ library's own work: documents are parsed, decoded and written by it;
this package only presents them to Python. See ``help(zuzodoriv.open)`` and ``Document.new``.
"""
from ._zuzodoriv import (  # noqa: F401
    Document,
    Error,
    Layer,
    OutOfMemoryError,
    TruncatedError,
    UnsupportedError,
    open,
    write_png,
)

__all__ = [
    "Document",
    "Error",
    "Layer",
    "OutOfMemoryError",
    "TruncatedError",
    "UnsupportedError",
    "open",
    "write_png",
]
