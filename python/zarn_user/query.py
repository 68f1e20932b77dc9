"""The query engine of role matrices: one index per held matrix, for every caller.

`index(matrix)` answers with the matrix's query index (`zarn_user._query.Index`): its stored
roles, grants and containment, walked in C++ for the questions callers ask (does a set of
roles hold a permission, through which roles, who holds it, what a set of roles holds).
Each matrix instance has an index of its own, kept while the instance lives, so that a
process holding many matrices pays nothing to go from one to another.

The index answers for the stored lists `policies` and `groups`, never for names a request
made up: unlike the module's own resolution, asking about a role the matrix does not hold
changes nothing. A granted "*" matches any object or any action (the convention of the
root policy, `*:*`).

An index is never stale: records appended in place (the matrix's own add operations) are
followed when it is next asked; a change a live document applies is handed to it whole by
the applier (`follow`); any other change of the lists (a list replaced outside a change)
makes it anew. While a change is being applied in another thread, a reader gets the index
as it stands, which answers for the version before the change or the one after it, whole.
"""

from __future__ import annotations

import itertools
import os
import threading
import weakref
from typing import Any

from zarn_engine.changes import settled

from zarn_user._query import Index

__all__ = ["Index", "index", "indexed", "ready", "follow", "forget"]

# id(matrix) -> (a weak reference to it, its index, the index's serial)
_held: dict[int, tuple[weakref.ref[Any], Index, int]] = {}
_lock = threading.Lock()
# Serials of indexes: a position in one index (a role's place in its order) holds in no other.
# Random from the start, so that two processes' indexes are not taken for one another.
_serials = itertools.count(int.from_bytes(os.urandom(6), "big") >> 2)


def _held_entry(matrix: Any) -> tuple[Index, int] | None:
    found = _held.get(id(matrix))
    if found is not None and found[0]() is matrix:
        return found[1], found[2]
    return None


def _entry(matrix: Any) -> Index | None:
    found = _held_entry(matrix)
    return None if found is None else found[0]


def ready(matrix: Any) -> Index | None:
    """The matrix's index when it answers for the matrix as it stands without being built
    (records appended in place are followed at once); None otherwise."""
    found = _entry(matrix)
    if found is None:
        return None
    attrs = matrix.__dict__
    seq = attrs.get("_changes_seq", 0)
    if seq % 2 or found.current(attrs) or attrs.get("_changes_seq", 0) != seq:
        return found  # while a change is installed: the index of the version before it
    return None


def index(matrix: Any) -> Index:
    """The matrix's index, built when it has none that answers for its stored lists."""
    return indexed(matrix)[0]


def indexed(matrix: Any) -> tuple[Index, int]:
    """The matrix's index and its serial: the same serial for as long as the same index
    answers (following the changes of the matrix in place, where the positions of roles in
    its order hold), another for an index made anew."""
    found = ready(matrix)
    if found is not None:
        held = _held_entry(matrix)
        if held is not None and held[0] is found:
            return held
        return found, next(_serials)

    def build() -> Index:
        made = Index()
        made.build(matrix.__dict__)
        return made

    made = settled(matrix, build)  # of one version, also while a change is applied
    key = id(matrix)

    def gone(ref: weakref.ref[Any]) -> None:
        with _lock:
            held = _held.get(key)
            if held is not None and held[0] is ref:
                del _held[key]

    serial = next(_serials)
    try:
        ref = weakref.ref(matrix, gone)
    except TypeError:  # an instance that cannot be referred to weakly: an index per call
        return made, serial
    with _lock:
        _held[key] = (ref, made, serial)
    return made, serial


def follow(matrix: Any, before: tuple[list[Any], int, list[Any], int], lost_policies: list[Any],
           new_policies: list[Any], lost_groups: list[Any], new_groups: list[Any]) -> None:
    """After a change was installed in the matrix's lists: its index follows it, when it was
    at the lists `before` (policies, their size, groups, their size); else it is dropped, to
    be made anew when next asked."""
    found = _entry(matrix)
    if found is None:
        return
    if not found.apply(*before, matrix.__dict__, lost_policies, new_policies, lost_groups, new_groups):
        forget(matrix)


def forget(matrix: Any) -> None:
    """Drop the matrix's index (a change it cannot follow)."""
    with _lock:
        held = _held.get(id(matrix))
        if held is not None and held[0]() is matrix:
            del _held[id(matrix)]
