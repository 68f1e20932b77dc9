"""Saving and loading documents: whole texts and changes, through a store.

A save writes the change since the version the instance remembers (changes.py finds it)
when the store keeps changes, else the whole document; a load reads the stored snapshot and
brings it up to date with the changes after it, through the class's applier.

This module sits above the documents, the change log and the stores, and imports all three.
Documents call it through the slot it fills when imported (`Document.save`, `Document.load`,
the default store: see document.register_persistence).
"""

from __future__ import annotations

import json

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, TypeVar

    D = TypeVar("D", bound=Document)

from . import engine as engines
from .changes import Moves, apply_private, applier, check, diff, loads, snapshot, who
from .document import Document, EmbeddedDocument, record_writes, register_persistence
from .engine import Engine
from .errors import StorageError

__all__ = ["default_engine", "load", "remember", "save", "stored_text"]


def default_engine() -> Engine:
    """The store documents use when given none (engine.get_engine, looked up on each call)."""
    return engines.get_engine()


def stored_text(doc: Document) -> str:
    """The whole document as the store keeps it."""
    return doc._to_stored()


def remember(doc: Document, key: str, version: int, engine: Any) -> None:
    """Note the stored version the instance now holds, for the next save to build on."""
    doc.__dict__["_changes_base"] = (key, version, engine, snapshot(doc))


def _compact(doc: Document, engine: Any, collection: str, key: str, version: int, change_size: int) -> None:
    """After a change committed as `version`: when the changes after the stored snapshot have
    grown past its bounds (see engine.py), the writer makes the document it holds the new
    snapshot, so that loads apply few changes and never write. A compaction that fails
    leaves the commit as it is: the next writer tries again."""
    count, size, snapshot_size = doc.__dict__.get("_changes_tail", (0, 0, 0))
    count, size = count + 1, size + change_size
    if count > engines.REBASE_COUNT or (count >= engines.REBASE_LEAST
                                        and size * engines.REBASE_SHARE > snapshot_size):
        text = stored_text(doc)
        try:
            if engine.rebase(collection, key, text, version):
                count, size, snapshot_size = 0, 0, len(text)
        except StorageError:
            pass
    doc.__dict__["_changes_tail"] = (count, size, snapshot_size)


def _move_on(doc: Document, key: str, version: int, engine: Any,
             snap: tuple[int, dict[str, list[Any]], dict[str, str]], moves: Moves) -> None:
    """`remember` after a change was committed: `diff` brought the snapshot's copies on
    already; only a list written whole is copied again."""
    attrs = doc.__dict__
    _writes, lists, _plain = snap
    for name in moves.copy:
        lists[name] = attrs[name][:]
    attrs["_changes_base"] = (key, version, engine, (record_writes(), lists, moves.plain))


def save(doc: Document, engine: Any, key: str, expected: int | None) -> int:
    """Write the document: as a change over version `expected` when the instance remembers
    that version and the store keeps changes, else whole. The new version."""
    attrs = doc.__dict__
    collection = type(doc)._collection()
    base = attrs.get("_changes_base")
    change = None
    moves = Moves()
    if (expected is not None and base is not None and base[:3] == (key, expected, engine)
            and type(engine).commit is not Engine.commit):
        change = diff(doc, base[3], moves)
    label = who()
    version: int
    if change is None:
        doc.validate()
        text = stored_text(doc)
        version = (engine.save(collection, key, text, expected) if label is None
                   else engine.save(collection, key, text, expected, label))
        attrs["_changes_tail"] = (0, 0, len(text))
    else:
        assert base is not None  # a change is found only over a remembered version
        try:
            if type(doc).validate is not EmbeddedDocument.validate:
                doc.validate()  # the class's own checks see the whole document
            else:
                check(doc, change)
            change_text = json.dumps(change)
            version = engine.commit(collection, key, change_text, expected, label)
        except BaseException:
            moves.undo(base[3])  # not committed: the snapshot stays at the version it was
            raise
        _move_on(doc, key, version, engine, base[3], moves)
        _compact(doc, engine, collection, key, version, len(change_text))
        return version
    remember(doc, key, version, engine)
    return version


def load(cls: type[D], key: str, engine: Any) -> D | None:
    """The stored document: its snapshot, brought up to date with the changes after it. A
    load only reads: the writer of a change compacts the log into a snapshot (`_compact`)."""
    collection = cls._collection()
    for _ in range(5):
        found = engine.read(collection, key)
        if found is None:
            return None
        text, base, current, rows = found
        chain = engines.chain_of(rows, base, current) if current != base else []
        if chain is not None:
            break
        # Read between a new snapshot and the log (a store whose reads are not one snapshot).
    else:
        raise StorageError(f"{cls.__name__} {key!r}: the changes after the stored snapshot are missing")
    fn, fields_first = applier(cls)

    def replay(doc: D, built: bool) -> None:
        # Before the instance is built, its fields alone (the class derives the rest when
        # built); after, through the class's applier.
        step = fn if built else apply_private
        for _version, change_text in chain:
            step(doc, loads(change_text))

    doc = cls._from_stored(key, text, replay if chain and fields_first else None)
    if not fields_first:
        for _version, change_text in chain:
            fn(doc, loads(change_text))
    # What a save of this instance adds to: the changes after the snapshot, and its size.
    doc.__dict__["_changes_tail"] = (len(chain), sum(len(change_text) for _version, change_text in chain), len(text))
    doc.__dict__["_stored"] = (key, current)
    doc.__dict__["_engine"] = engine
    remember(doc, key, current, engine)
    return doc


# Documents save, load and find their default store through this module (see
# document.register_persistence); looked up on each call, so that a name replaced here (a
# benchmark timing `save`) is the one they call.
from . import persist as _this  # noqa: E402 - this module itself, complete by now

register_persistence(_this)
