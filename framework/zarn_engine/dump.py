"""A store's whole contents as plain data, and what a restore of them writes over a store.

A dump is what `Engine.dump` returns and `Engine.restore` takes (backup.py keeps it in a file):

    {"documents": [{"collection", "key",
                    "version": the current version,
                    "base": the version of the snapshot, "data": the snapshot's text,
                    "log": [[version, time, who, change text or None], ...]}, ...],  # oldest first
     "retired": [[collection, key, last version], ...]}   # keys deleted, as the store keeps them

A restore makes the store hold what the dump holds, in one transaction, without ever handing
out a version number again for other contents (running workers may hold any version the
store served):

- a key the store never had (no document, no retired version, no change logged) comes back
  as it was: its versions, snapshot and change log;
- a key the store holds at exactly the dumped state is left alone;
- any other key gets the dumped document as a new version, one past the newest the store
  ever gave the key, written whole (logged as a whole-document write by the restorer): a
  worker that holds the key loads it afresh, since no change leads there from its version;
- a key the store holds that the dump does not is deleted (its last version retired).
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, NamedTuple
else:
    from collections import namedtuple as _namedtuple

import json

from .changes import materialize
from .codec import stored_display
from .engine import chain_of

Key = tuple[str, str]  # (collection, key)


if TYPE_CHECKING:
    class Held(NamedTuple):
        """What the store holds of a key at the restore: its current version, the snapshot's
        version and text, and the change texts after the snapshot."""

        version: int
        base: int
        data: str
        after: list[str]
else:
    Held = _namedtuple("Held", "version base data after")


class Plan:
    """What a restore writes: keys brought back as they were (`exact`), keys written whole at
    a new version (`rewrite`: document, new version, text), keys deleted (`remove`:
    collection, key, the version retired) and retired versions to keep (`retired`)."""

    __slots__ = ("exact", "rewrite", "remove", "retired")

    def __init__(self) -> None:
        self.exact: list[dict[str, Any]] = []
        self.rewrite: list[tuple[dict[str, Any], int, str]] = []
        self.remove: list[tuple[str, str, int]] = []
        self.retired: list[tuple[str, str, int]] = []

    @property
    def written(self) -> int:
        return len(self.exact) + len(self.rewrite) + len(self.remove)


def after_base(doc: dict[str, Any]) -> list[tuple[int, str]] | None:
    """The changes of a dumped document from its snapshot to its version, or None when its
    log does not hold all of them."""
    if doc["base"] == doc["version"]:
        return []
    return chain_of([(row[0], row[3]) for row in doc["log"]], doc["base"], doc["version"])


def whole_text(doc: dict[str, Any]) -> str:
    """The dumped document's text at its version: the snapshot, with the changes after it."""
    chain = after_base(doc)
    if chain is None:
        raise ValueError(f"{doc['collection']}/{doc['key']}: the changes after the snapshot are missing")
    if not chain:
        return str(doc["data"])
    return materialize(doc["data"], chain)


def _content(data: str, after: list[str]) -> Any:
    """The display data of a document: its snapshot's text with the changes after it."""
    if not after:
        return stored_display(data)
    return json.loads(materialize(data, [(0, change) for change in after]))


def plan(dump: dict[str, Any], held: dict[Key, Held], retired: dict[Key, int], logged: set[Key]) -> Plan:
    """What restoring `dump` writes over a store that holds `held` (by key), has retired
    `retired` (last versions of deleted keys) and has log entries for the keys `logged`."""
    out = Plan()
    dumped: set[Key] = set()
    for doc in dump["documents"]:
        where = (doc["collection"], doc["key"])
        dumped.add(where)
        now = held.get(where)
        last = retired.get(where, 0)
        if now is None and last == 0 and where not in logged:
            out.exact.append(doc)
            continue
        if now is not None and now.version == doc["version"] and _content(now.data, now.after) == \
                _content(doc["data"], [change for _v, change in after_base(doc) or ()]):
            continue  # the same version with the same contents (its snapshot may be another)
        newest = max(now.version if now is not None else 0, last)
        out.rewrite.append((doc, newest + 1, whole_text(doc)))
    for where, now in held.items():
        if where not in dumped:
            out.remove.append((where[0], where[1], now.version))
    removed = {(c, k) for c, k, _v in out.remove}
    for collection, key, version in dump["retired"]:
        where = (collection, key)
        if where not in held and where not in removed and version > retired.get(where, 0):
            out.retired.append((collection, key, version))
    return out


def check(dump: Any) -> dict[str, Any]:
    """`dump` when it is a well-formed dump whose documents each reach their version from
    their snapshot; ValueError saying what is wrong otherwise."""
    if type(dump) is not dict or type(dump.get("documents")) is not list or type(dump.get("retired")) is not list:
        raise ValueError("not a dump: documents and retired keys expected")
    seen: set[Key] = set()
    for doc in dump["documents"]:
        if type(doc) is not dict:
            raise ValueError("a document that is not an object")
        for name, kind in (("collection", str), ("key", str), ("version", int), ("base", int), ("data", str),
                           ("log", list)):
            if type(doc.get(name)) is not kind:
                raise ValueError(f"a document without a valid {name}: {str(doc)[:200]}")
        where = (doc["collection"], doc["key"])
        if where in seen:
            raise ValueError(f"{where[0]}/{where[1]} twice")
        seen.add(where)
        if not 0 < doc["base"] <= doc["version"]:
            raise ValueError(f"{where[0]}/{where[1]}: snapshot version {doc['base']} against version {doc['version']}")
        for row in doc["log"]:
            if (type(row) is not list or len(row) != 4 or type(row[0]) is not int
                    or not isinstance(row[1], (int, float)) or not (row[2] is None or type(row[2]) is str)
                    or not (row[3] is None or type(row[3]) is str) or row[0] > doc["version"]):
                raise ValueError(f"{where[0]}/{where[1]}: a change log entry that is not "
                                 f"[version, time, who, change]: {str(row)[:200]}")
        if after_base(doc) is None:
            raise ValueError(f"{where[0]}/{where[1]}: the changes after the snapshot are missing")
    for row in dump["retired"]:
        if (type(row) is not list or len(row) != 3 or type(row[0]) is not str or type(row[1]) is not str
                or type(row[2]) is not int):
            raise ValueError(f"a retired key that is not [collection, key, version]: {str(row)[:200]}")
    return dump
