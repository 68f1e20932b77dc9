"""Backups of a whole store in one file, and restores of them while workers run.

A backup is one of two forms:

- a SQLite database file, what `backup` writes for a SQLite store: SQLite's online backup
  copies the database as of one moment (one read transaction: writers go on meanwhile) into
  a file of its own, without a write-ahead log. It is a store as well (`connect(path)`);
- JSON lines, what `backup` writes for any other store (and for SQLite on request): a header
  line, one line per document (its snapshot, versions and whole change log, as
  `Engine.dump` gives them, see dump.py), one per retired key, and a last line with the
  counts, so that a file cut short is known.

A backup is written to a temporary file beside `path` and renamed over it when complete:
`path` holds a whole backup or what it held before.

`restore(engine, path)` reads either form whole and checks it before anything is written,
then makes the store hold what the backup holds, in one transaction under the store's write
lock: readers see the state before or the state after, never a mix. Versions go on from the
newest the store ever gave a key, so that a running worker (strict or notify) sees a newer
version, loads it afresh and never serves the old grants; keys the backup does not hold are
deleted; keys the store never had come back as they were, history included (see dump.py).
"""

from __future__ import annotations

import json
import os
import tempfile
import time

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, TextIO

    from .dump import Plan
    from .engine import Engine

from .dump import check
from .errors import StorageError
from .sqlite import SQLiteEngine

FORMAT = "zarn-backup"
VERSION = 1
FORMS = ("sqlite", "jsonl")
_SQLITE_MAGIC = b"SQLite format 3\x00"


class BackupError(ValueError):
    """A file that is no backup, or one that is damaged or cut short: nothing was restored."""


def backup(engine: Engine, path: str | os.PathLike[str], form: str | None = None) -> dict[str, Any]:
    """Write a backup of everything `engine` holds to `path`: the SQLite form for a SQLite
    store, JSON lines otherwise (`form` chooses). What it holds: {"form", "documents",
    "retired"}."""
    path = os.fspath(path)
    if form is None:
        form = "sqlite" if isinstance(engine, SQLiteEngine) else "jsonl"
    if form not in FORMS:
        raise ValueError(f"a backup's form is one of {', '.join(FORMS)}, not {form!r}")
    if form == "sqlite" and not isinstance(engine, SQLiteEngine):
        raise ValueError("the SQLite form is for SQLite stores; back other stores up as jsonl")
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".zarn-backup-", dir=folder)
    try:
        if form == "sqlite":
            os.close(fd)
            os.unlink(temporary)  # SQLite makes the file itself
            assert isinstance(engine, SQLiteEngine)
            engine.backup(temporary)
            dump = read(temporary)
            _fsync(temporary)
        else:
            dump = engine.dump()
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                write_lines(dump, f, type(engine).__name__)
                f.flush()
                os.fsync(f.fileno())
        os.replace(temporary, path)
        _fsync(folder)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
    return {"form": form, "documents": len(dump["documents"]), "retired": len(dump["retired"])}


def restore(engine: Engine, path: str | os.PathLike[str], who: str | None = None) -> Plan:
    """Make `engine` hold what the backup at `path` holds (see the module's notes); what
    was written. BackupError, with nothing written, for a file that is no whole backup."""
    return engine.restore(read(path), who)


def read(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The dump a backup file holds, checked whole; BackupError otherwise."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            start = f.read(len(_SQLITE_MAGIC))
    except OSError as exc:
        raise BackupError(f"cannot read {path}: {exc.strerror}") from None
    if start == _SQLITE_MAGIC:
        return _read_sqlite(path)
    try:
        with open(path, encoding="utf-8") as f:
            return read_lines(f, path)
    except UnicodeDecodeError:
        raise BackupError(f"{path} is no backup: neither a SQLite database nor JSON lines") from None


def _read_sqlite(path: str) -> dict[str, Any]:
    try:
        source = SQLiteEngine(path, mode="ro")
    except StorageError as exc:
        raise BackupError(f"{path} is no backup of a store: {exc}") from None
    try:
        return check(source.dump())
    except StorageError as exc:
        raise BackupError(f"{path} cannot be read as a backup: {exc}") from None
    except ValueError as exc:
        raise BackupError(f"{path} is damaged: {exc}") from None
    finally:
        source.close()


def write_lines(dump: dict[str, Any], f: TextIO, store: str = "") -> None:
    """The JSON-lines form of a dump."""
    f.write(json.dumps({"format": FORMAT, "version": VERSION, "store": store, "time": time.time()}) + "\n")
    for doc in dump["documents"]:
        f.write(json.dumps({"document": doc}) + "\n")
    for row in dump["retired"]:
        f.write(json.dumps({"retired": row}) + "\n")
    f.write(json.dumps({"end": {"documents": len(dump["documents"]), "retired": len(dump["retired"])}}) + "\n")


def read_lines(f: TextIO, name: str = "backup") -> dict[str, Any]:
    """The dump of a JSON-lines backup, checked whole; BackupError saying where it is wrong."""
    dump: dict[str, Any] = {"documents": [], "retired": []}
    end: Any = None
    number = 0
    for number, line in enumerate(f, 1):
        try:
            item = json.loads(line)
        except (ValueError, RecursionError):
            raise BackupError(f"{name}:{number}: not JSON") from None
        if type(item) is not dict or len(item) < 1:
            raise BackupError(f"{name}:{number}: not an entry of a backup")
        if number == 1:
            if item.get("format") != FORMAT:
                raise BackupError(f"{name} is no backup: its first line does not say {FORMAT}")
            if item.get("version") != VERSION:
                raise BackupError(f"{name} is a backup of form version {item.get('version')!r}; this release "
                                  f"reads version {VERSION}")
            continue
        if end is not None:
            raise BackupError(f"{name}:{number}: more after the last line")
        if "document" in item:
            dump["documents"].append(item["document"])
        elif "retired" in item:
            dump["retired"].append(item["retired"])
        elif "end" in item:
            end = item["end"]
        else:
            raise BackupError(f"{name}:{number}: not an entry of a backup")
    if number == 0:
        raise BackupError(f"{name} is empty")
    if end != {"documents": len(dump["documents"]), "retired": len(dump["retired"])}:
        raise BackupError(f"{name} is cut short: its last line is not the end of a backup")
    try:
        return check(dump)
    except ValueError as exc:
        raise BackupError(f"{name} is damaged: {exc}") from None


def _fsync(path: str) -> None:
    """On disk: a file, or a folder's entries (a rename)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
