"""Stores by URL: the factory behind `open_engine` and `connect`."""

from __future__ import annotations

import os

from . import engine as _engines
from .engine import Engine


def open_engine(url: str | os.PathLike) -> Engine:
    """The store a URL names: `postgresql://...` (or `postgres://`), `memory:`,
    `sqlite:///path` (four slashes for an absolute path), or a plain path of a SQLite file."""
    text = os.fspath(url)
    if text.startswith(("postgresql://", "postgres://")):
        from .postgresql import PostgreSQLEngine

        return PostgreSQLEngine(text)
    if text == "memory:":
        from .memory import MemoryEngine

        return MemoryEngine()
    from .sqlite import SQLiteEngine

    if text.startswith("sqlite:"):
        # As elsewhere: sqlite:///relative/path, sqlite:////absolute/path
        if not text.startswith("sqlite:///"):
            raise ValueError(f"a SQLite URL is sqlite:///path, not {text!r}")
        text = text[len("sqlite:///"):]
    return SQLiteEngine(text)


def connect(url: str | os.PathLike) -> Engine:
    """Open the store that `url` names and make it the default engine."""
    engine = open_engine(url)
    _engines.use_engine(engine)
    return engine


_engines._opener = open_engine
