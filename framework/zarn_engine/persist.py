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
    from typing import Any, Sequence, TypeVar

    D = TypeVar("D", bound=Document)

from . import engine as engines
from .changes import Moves, apply_private, applier, check, diff, loads, snapshot, who
from .document import Document, EmbeddedDocument, record_writes, register_persistence
from .engine import Engine, Write
from .errors import StorageError

__all__ = ["default_engine", "load", "remember", "save", "save_all", "stored_text"]


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
    leaves the commit as it is: the next writer tries again. A holder may take the work
    (`_compact_later(collection, key, version)`, true when taken: a live document makes the
    snapshot from its shared instance in the background, off the writer's way)."""
    count, size, snapshot_size = doc.__dict__.get("_changes_tail", (0, 0, 0))
    count, size = count + 1, size + change_size
    if count > engines.REBASE_COUNT or (count >= engines.REBASE_LEAST
                                        and size * engines.REBASE_SHARE > snapshot_size):
        later = doc.__dict__.get("_compact_later")
        if later is not None and later(collection, key, version):
            doc.__dict__["_changes_tail"] = (0, 0, snapshot_size)
            return
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


class _Prepared:
    """A document's write, made ready by `_prepare`: the store's Write, and what `_finish`
    (after the commit) or `_abandon` (after a failure) needs."""

    __slots__ = ("doc", "write", "base", "moves")

    def __init__(self, doc: Document, write: Write, base: Any, moves: Moves) -> None:
        self.doc, self.write, self.base, self.moves = doc, write, base, moves


def _prepare(doc: Document, engine: Any, key: str, expected: int | None) -> _Prepared:
    """The document's write: a change over version `expected` when the instance remembers
    that version and the store keeps changes, else the whole text; validated either way."""
    attrs = doc.__dict__
    collection = type(doc)._collection()
    base = attrs.get("_changes_base")
    moves = Moves()
    change = None
    if (expected is not None and base is not None and base[:3] == (key, expected, engine)
            and type(engine).commit is not Engine.commit):
        change = diff(doc, base[3], moves)
    label = who()
    if change is None:
        doc.validate()
        return _Prepared(doc, Write(collection, key, stored_text(doc), expected, label), None, moves)
    assert base is not None  # a change is found only over a remembered version
    prepared = _Prepared(doc, Write(collection, key, "", expected, label, change=True), base, moves)
    try:
        if type(doc).validate is not EmbeddedDocument.validate:
            doc.validate()  # the class's own checks see the whole document
        else:
            check(doc, change)
        prepared.write.data = json.dumps(change)
    except BaseException:
        _abandon(prepared)
        raise
    return prepared


def _abandon(prepared: _Prepared) -> None:
    """After a write that was not committed: the snapshot stays at the version it was."""
    if prepared.base is not None:
        prepared.moves.undo(prepared.base[3])


def _finish(prepared: _Prepared, engine: Any, version: int) -> None:
    """After the commit of `version`: the instance remembers it for its next save."""
    doc, w = prepared.doc, prepared.write
    if prepared.base is None:
        doc.__dict__["_changes_tail"] = (0, 0, len(w.data))
        remember(doc, w.key, version, engine)
        return
    _move_on(doc, w.key, version, engine, prepared.base[3], prepared.moves)
    _compact(doc, engine, w.collection, w.key, version, len(w.data))


def save(doc: Document, engine: Any, key: str, expected: int | None) -> int:
    """Write the document: as a change over version `expected` when the instance remembers
    that version and the store keeps changes, else whole. The new version."""
    prepared = _prepare(doc, engine, key, expected)
    w = prepared.write
    try:
        if w.change:
            version: int = engine.commit(w.collection, w.key, w.data, w.expected, w.who)
        elif w.who is None:
            version = engine.save(w.collection, w.key, w.data, w.expected)
        else:
            version = engine.save(w.collection, w.key, w.data, w.expected, w.who)
    except BaseException:
        _abandon(prepared)
        raise
    _finish(prepared, engine, version)
    return version


def save_all(docs: Sequence[Document], engine: Engine | None = None) -> list[int]:
    """Save the documents in one transaction of `engine` (else the store the first was loaded
    from or saved to, else the default store): all or none, each with its own version check
    as `Document.save` makes it (ConflictError when any fails, nothing written). The new
    versions, in order; each document holds its own afterwards."""
    if not docs:
        return []
    if len({id(doc) for doc in docs}) != len(docs):
        raise ValueError("save_all: a document given twice; nothing was written")
    store: Engine = engine or docs[0].__dict__.get("_engine") or default_engine()
    prepared: list[_Prepared] = []
    try:
        for doc in docs:
            _store, key, expected = doc._save_target(store)
            prepared.append(_prepare(doc, store, key, expected))
        versions = store.save_many([p.write for p in prepared])
    except BaseException:
        for p in prepared:
            _abandon(p)
        raise
    for p, version in zip(prepared, versions):
        _finish(p, store, version)
        p.doc.__dict__["_stored"] = (p.write.key, version)
        p.doc.__dict__["_engine"] = store
    return versions


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
