"""Changes: what a save writes when it builds on a stored version, and how a holder of that
version brings its instance up to the next one.

A change is plain data (stored as JSON text in the store's change log):

    {"fields": {name: display value},                    # non-record-list fields that changed
     "lists": {name: {"remove": [positions in the old list, ascending],
                      "append": [display dicts of the appended records]}},
     "replace": {name: [display dicts]},                 # a record list rewritten whole
     "was": {"fields": {...}, "lists": {name: [removed records]}, "replace": {...}}}

"was" holds what the change took away, for people reading the history (`describe`,
`net`); applying a change never reads it. Applying a change to an instance that holds
exactly the old version yields exactly the new version's lists, in order.

Finding a change costs what changed, not what the document holds: at load and at save a
document remembers a copy of each record list (references only) and the display text of
its other fields. At the next save each list is compared with its copy: the removed runs and
the appended tail are guessed from the identity of records at a few positions, the copy is
brought on by that guess (it becomes the next save's copy), and the result compared with the
list whole: at C speed, and for the same objects by their references alone, without a touch
of the records (see `_follow`). A change that is not committed takes the copies back.

This module sits above the documents and below the stores: it imports documents (and their
stored format, codec.py), never a store. Saving and loading, which write and read the change
log through a store, live above both in persist.py.
"""

from __future__ import annotations

import contextlib
import contextvars
import importlib
import json
import sys
import time
from collections import Counter
from itertools import chain, compress

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable, Iterator, TypeVar

    from .document import Document

    R = TypeVar("R")

from zarn_fields import ValidationError

from .codec import stored_display
from .document import EmbeddedDocumentField, ListField, record_writes
from .errors import LoadError

__all__ = ["Moves", "acting_as", "advance", "apply_default", "apply_private", "applier", "check", "describe",
           "diff", "diff_list", "held_size", "install", "loads", "materialize", "net", "prepare", "record_writes",
           "register_applier", "set_who", "settled", "snapshot", "who"]

# Who the changes committed in this context are labelled with (None: nobody named).
_who: contextvars.ContextVar[str | None] = contextvars.ContextVar("zarn_who", default=None)


def who() -> str | None:
    """The label that saves made now give their change-log entries."""
    return _who.get()


@contextlib.contextmanager
def acting_as(name: str | None) -> Iterator[None]:
    """Label every change committed inside the block with `name` (an operator, a service)."""
    token = _who.set(name)
    try:
        yield
    finally:
        _who.reset(token)


def set_who(name: str | None) -> None:
    """Label the changes committed from now on in this context (a command line's `--as`)."""
    _who.set(name)


# --- snapshots and diffs ---------------------------------------------------------------------

def _record_lists(cls: type[Document]) -> dict[str, Any]:
    """The fields of `cls` that hold lists of records, by name."""
    found = cls.__dict__.get("_zarn_record_lists")
    if found is None:
        found = {name: field for name, field in cls._fields.items()
                 if isinstance(field, ListField) and isinstance(field.item_field, EmbeddedDocumentField)}
        setattr(cls, "_zarn_record_lists", found)  # noqa: B010 - a cache on the class itself
    return found


def snapshot(doc: Document) -> tuple[int, dict[str, list[Any]], dict[str, str]]:
    """What the next save compares with: a copy of each record list, the display text of the
    other fields, and the count of record writes now."""
    attrs = doc.__dict__
    lists: dict[str, list[Any]] = {}
    plain: dict[str, str] = {}
    record_lists = _record_lists(type(doc))
    for name, field in type(doc)._fields.items():
        value = attrs.get(name)
        if name in record_lists and type(value) is list:
            lists[name] = value[:]
        else:
            plain[name] = json.dumps(field.to_display(value))
    return record_writes(), lists, plain


def _first_mismatch(old: list[Any], i: int, new: list[Any], j: int, n: int) -> int:
    """The first k < n with old[i + k] != new[j + k], knowing there is one."""
    lo, hi = 0, n
    while hi - lo > 8:
        mid = (lo + hi) // 2
        if old[i + lo:i + mid] == new[j + lo:j + mid]:
            lo = mid
        else:
            hi = mid
    for k in range(lo, hi):
        a, b = old[i + k], new[j + k]
        if a is not b and a != b:
            return k
    return hi  # equal after all (an equality that changed its mind): the caller goes on


def _diff_by_slices(old: list[Any], new: list[Any]) -> tuple[list[int], list[Any]] | None:
    """`diff_list` by comparing slices for equality: exact whatever the lists hold (the same
    record twice, records equal but not the same), at the cost of touching every record."""
    n_old, n_new = len(old), len(new)
    removed: list[int] = []
    i = j = 0
    chunk = 64
    while i < n_old and j < n_new:
        step = min(chunk, n_old - i, n_new - j)
        if old[i:i + step] == new[j:j + step]:
            i += step
            j += step
            chunk = min(chunk * 2, 1 << 16)
            continue
        k = _first_mismatch(old, i, new, j, step)
        i += k
        j += k
        if k < step:
            removed.append(i)  # taken to be removed; what follows in `new` is matched on
            i += 1
            if len(removed) > n_new // 2 + 64:
                return None
        chunk = 64
    removed.extend(range(i, n_old))
    appended = new[j:]
    if len(removed) + len(appended) > max(64, n_new):
        return None
    return removed, appended


def _same_run(old: list[Any], i: int, new: list[Any], j: int, most: int) -> int:
    """How many records old[i:] and new[j:] start with that are the very same objects (at
    most `most`), found by probing single positions: galloping, then bisection. Exact while
    no record stands in the lists twice; the caller checks its result whole."""
    if most <= 0 or old[i] is not new[j]:
        return 0
    lo, hi, step = 0, most, 1  # old[i + lo] is new[j + lo]; hi: `most` or a position that differs
    while lo + step < most:
        if old[i + lo + step] is new[j + lo + step]:
            lo += step
            step *= 2
        else:
            hi = lo + step
            break
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if old[i + mid] is new[j + mid]:
            lo = mid
        else:
            hi = mid
    return hi


# How far past a record that differs an equal one is looked for, when no record of the
# list is the very object looked for (equality runs Python code: a few steps only).
_EQUAL_WINDOW = 64


def _runs_by_identity(old: list[Any], new: list[Any], budget: int) -> tuple[list[tuple[int, int]], int] | None:
    """(the runs [start, stop) of `old` that `new` lacks, ascending; where the records appended
    to `new` start), mostly from the identity of records at a few positions: a record of
    `new` that is not the next one of `old` is matched with it when they are equal, else
    looked for further on (the very object, or an equal one close by: what lies between was
    removed), else starts the appended tail. None when more than `budget` records would be
    removed. A guess where records stand twice or were reordered: the caller checks it."""
    n_old, n_new = len(old), len(new)
    runs: list[tuple[int, int]] = []
    removed = 0
    i = j = 0
    while i < n_old:
        matched = _same_run(old, i, new, j, min(n_old - i, n_new - j))
        i += matched
        j += matched
        if i == n_old:
            break
        stop = min(n_old, i + 1 + budget - removed)
        if j < n_new:
            target = new[j]
            if old[i] == target:  # an equal record in its place (a copy the document made)
                i += 1
                j += 1
                continue
            k = i + 1
            while k < stop and old[k] is not target:
                k += 1
            if k == stop:
                window = min(stop, i + 1 + _EQUAL_WINDOW)
                k = i + 1
                while k < window and not old[k] == target:
                    k += 1
                if k == window:
                    k = stop
            if k < stop:  # old[i:k] removed
                runs.append((i, k))
                removed += k - i
                i = k
                continue
        if stop < n_old:  # the rest of `old` would be removed: more than the budget
            return None
        runs.append((i, n_old))  # the rest of `old` removed, `new[j:]` appended
        break
    return runs, j


# Up to this many removed runs, a copy is brought on by deleting them in place (a move of the
# references after each); beyond, it is built again in one pass.
_IN_PLACE_RUNS = 16


class _Moved:
    """How `_follow` brought a list on, so that `undo` can take it back."""

    __slots__ = ("runs", "taken", "appended", "before")

    def __init__(self, runs: list[tuple[int, int]], taken: list[list[Any]], appended: list[Any],
                 before: list[Any] | None) -> None:
        self.runs = runs  # removed runs of the old list, ascending
        self.taken = taken  # the records of each run
        self.appended = appended
        self.before = before  # the old list itself, when the new one was built apart

    def removed(self) -> list[int]:
        return [p for start, stop in self.runs for p in range(start, stop)]

    def records(self) -> Iterator[Any]:
        return chain.from_iterable(self.taken)


def _cut_runs(values: list[Any], runs: list[tuple[int, int]], appended: list[Any]) -> tuple[list[Any], list[list[Any]], list[Any] | None]:
    """(the list without the runs and with `appended`, the records of the runs, the list it
    was when another was built). Few runs are deleted from `values` itself (it is the list
    returned); many make a new list in one pass and leave `values` as it was."""
    taken = [values[start:stop] for start, stop in runs]
    if len(runs) <= _IN_PLACE_RUNS:
        for start, stop in reversed(runs):
            del values[start:stop]
        values += appended
        return values, taken, None
    keep = [True] * len(values)
    for start, stop in runs:
        keep[start:stop] = [False] * (stop - start)
    rebuilt = list(compress(values, keep))
    rebuilt += appended
    return rebuilt, taken, values


def _runs_of(positions: list[int]) -> list[tuple[int, int]]:
    runs: list[tuple[int, int]] = []
    for p in positions:
        if runs and runs[-1][1] == p:
            runs[-1] = (runs[-1][0], p + 1)
        else:
            runs.append((p, p + 1))
    return runs


def _follow(lists: dict[str, list[Any]], name: str, new: list[Any]) -> _Moved | None:
    """Bring the copy `lists[name]` (the caller's own: it is changed or replaced) to equal
    `new`, at about the cost of the change: removed records and appended ones, with the rest
    in order. None (the copy as it was) when that would cost more than writing `new` whole.

    The change is guessed from the identity of records at a few positions, applied, and the
    result compared with `new` whole (at C speed: the same objects compare without being
    touched); when they differ (a wrong guess: a record twice in a list, a list reordered or
    changed in place), the change is found again by comparing slices, which is exact."""
    old = lists[name]
    budget = max(64, len(new))
    guess = _runs_by_identity(old, new, budget)
    if guess is not None:
        runs, start = guess
        if sum(stop - begin for begin, stop in runs) + len(new) - start <= budget:
            tail = new[start:]
            moved_list, taken, before = _cut_runs(old, runs, tail)
            moved = _Moved(runs, taken, tail, before)
            try:
                same = moved_list == new
            except BaseException:
                _undo_list(lists, name, moved, moved_list)
                raise
            if same:
                lists[name] = moved_list
                return moved
            _undo_list(lists, name, moved, moved_list)
    found = _diff_by_slices(old, new)
    if found is None:
        return None
    removed, appended = found
    runs = _runs_of(removed)
    moved_list, taken, before = _cut_runs(old, runs, appended)
    lists[name] = moved_list
    return _Moved(runs, taken, appended, before)


def _undo_list(lists: dict[str, list[Any]], name: str, moved: _Moved, current: list[Any] | None = None) -> None:
    """Take the copy back to what it was before `_follow` brought it on."""
    if moved.before is not None:
        lists[name] = moved.before
        return
    values = lists[name] if current is None else current
    del values[len(values) - len(moved.appended):]
    for (start, _stop), records in zip(moved.runs, moved.taken):
        values[start:start] = records
    lists[name] = values


def diff_list(old: list[Any], new: list[Any]) -> tuple[list[int], list[Any]] | None:
    """(removed positions of `old`, appended records) such that `old` without the removed
    records, followed by the appended ones, equals `new`; None when that would cost more
    than writing `new` whole."""
    lists = {"": old[:]}
    moved = _follow(lists, "", new)
    return None if moved is None else (moved.removed(), moved.appended)


class Moves:
    """What `diff` did to a snapshot: the lists it brought on (undone when the save fails),
    the lists to copy once the change is committed, the new display text of the other fields."""

    __slots__ = ("lists", "copy", "plain")

    def __init__(self) -> None:
        self.lists: dict[str, _Moved] = {}
        self.copy: list[str] = []
        self.plain: dict[str, str] = {}

    def undo(self, snap: tuple[int, dict[str, list[Any]], dict[str, str]]) -> None:
        lists = snap[1]
        for name, moved in self.lists.items():
            _undo_list(lists, name, moved)
        self.lists.clear()


def diff(doc: Document, snap: tuple[int, dict[str, list[Any]], dict[str, str]],
         moves: Moves | None = None) -> dict[str, Any] | None:
    """The change from the snapshot to the document as it is; None when it must be written
    whole (a record changed in place since the snapshot). The snapshot's copies of the lists
    are brought on to the document's lists as they are compared (`moves` says how, and
    takes them back when the change is not committed)."""
    if moves is None:
        moves = Moves()
    writes, lists, plain = snap
    if record_writes() != writes:
        return None
    cls = type(doc)
    attrs = doc.__dict__
    for name in lists:
        if type(attrs.get(name)) is not list:  # a record list that is no longer a list: no delta describes it
            return None
    record_lists = _record_lists(cls)
    fields: dict[str, Any] = {}
    changed_lists: dict[str, Any] = {}
    replace: dict[str, Any] = {}
    was: dict[str, Any] = {}
    try:
        for name, field in cls._fields.items():
            value = attrs.get(name)
            old = lists.get(name)
            if old is not None:
                if value == old:
                    continue
                moved = _follow(lists, name, attrs[name])  # a list: checked above
                if moved is None:
                    replace[name] = field.to_display(value)
                    was.setdefault("replace", {})[name] = field.to_display(old)
                    moves.copy.append(name)
                    continue
                moves.lists[name] = moved
                item = record_lists[name].item_field
                if moved.runs or moved.appended:
                    changed_lists[name] = {"remove": moved.removed(),
                                           "append": [item.to_display(r) for r in moved.appended]}
                    if moved.runs:
                        was.setdefault("lists", {})[name] = [item.to_display(r) for r in moved.records()]
                continue
            shown = field.to_display(value)
            text = json.dumps(shown)
            moves.plain[name] = text
            if text != plain.get(name):
                fields[name] = shown
                was.setdefault("fields", {})[name] = json.loads(plain[name]) if name in plain else None
    except BaseException:
        moves.undo(snap)
        raise
    change: dict[str, Any] = {}
    if fields:
        change["fields"] = fields
    if changed_lists:
        change["lists"] = changed_lists
    if replace:
        change["replace"] = replace
    if was:
        change["was"] = was
    return change


def check(doc: Document, change: dict[str, Any]) -> None:
    """Validate what the change brings in (ValidationError as a whole save would raise):
    changed fields, appended records, replaced lists. The rest was valid when it was saved."""
    cls = type(doc)
    name_of = cls.__name__
    attrs = doc.__dict__
    for name in chain(change.get("fields", ()), change.get("replace", ())):
        cls._fields[name].check(attrs.get(name), name_of, name)
    for name, spec in change.get("lists", {}).items():
        item = _record_lists(cls)[name].item_field
        values = attrs[name]
        start = len(values) - len(spec["append"])
        for index in range(start, len(values)):
            item.check(values[index], name_of, f"{name}[{index}]")


# --- applying ----------------------------------------------------------------------------------

def _without(values: list[Any], removed: list[int], appended: list[Any], private: bool) -> list[Any]:
    """`values` without the records at the ascending positions `removed`, with `appended`
    after them: `values` itself changed when `private` and the removed records lie in few
    runs (each deleted by a move of the references after it), else a new list, made in one
    pass, `values` left as it is (a reader may be walking it)."""
    runs = _runs_of(removed)
    if private and len(runs) <= _IN_PLACE_RUNS:
        for start, stop in reversed(runs):
            del values[start:stop]
        values += appended
        return values
    if len(runs) <= _IN_PLACE_RUNS:
        out = values[:]
        for start, stop in reversed(runs):
            del out[start:stop]
    else:
        keep = [True] * len(values)
        for start, stop in runs:
            keep[start:stop] = [False] * (stop - start)
        out = list(compress(values, keep))
    out += appended
    return out


def _valid_positions(removed: Any, size: int) -> bool:
    if type(removed) is not list:
        return False
    last = -1
    for position in removed:
        if type(position) is not int or position <= last or position >= size:
            return False
        last = position
    return True


def prepare(doc: Document, change: dict[str, Any], private: bool = False) -> dict[str, tuple[Any, ...]]:
    """What applying the change installs, built aside: for each field ("set", value), or
    ("list", n, appended) meaning `values[n:] = appended` (records appended to a list of n).
    A list that loses records is a new list, so that a reader walking the old one sees it
    whole; with `private` (no reader can see the instance yet) it is the list itself, changed
    in place. Raises LoadError for a change that does not fit the document (its positions
    outside the lists, unknown fields, invalid records)."""
    cls = type(doc)
    attrs = doc.__dict__
    where = f"{cls.__name__} {doc.key!r}"
    plan: dict[str, tuple[Any, ...]] = {}
    try:
        for name, shown in change.get("fields", {}).items():
            field = cls._fields[name]
            value = field.from_display(shown)
            field.check(value, cls.__name__, name)
            plan[name] = ("set", value)
        record_lists = _record_lists(cls)
        for name, shown in change.get("replace", {}).items():
            field = record_lists[name]
            values = field.from_display(shown)
            field.check(values, cls.__name__, name)
            plan[name] = ("set", values)
        for name, spec in change.get("lists", {}).items():
            field = record_lists[name]
            values = attrs.get(name)
            if type(values) is not list or not _valid_positions(spec["remove"], len(values)):
                raise LoadError(f"{where}: a change does not fit field {name!r}")
            appended = field.from_display(spec["append"])
            item = field.item_field
            for record in appended:
                item.check(record, cls.__name__, name)
            if spec["remove"]:
                plan[name] = ("set", _without(values, spec["remove"], appended, private))
            else:
                plan[name] = ("list", len(values), appended)
    except (KeyError, TypeError, ValueError, AttributeError, ValidationError) as exc:
        if isinstance(exc, LoadError):
            raise
        raise LoadError(f"{where}: a change cannot be applied ({type(exc).__name__}: {exc})") from None
    return plan


def install(doc: Document, plan: dict[str, tuple[Any, ...]]) -> None:
    """Install a prepared change: each field by one operation (an attribute store, records
    appended to a list), so that a reader sees each field wholly old or wholly new."""
    attrs = doc.__dict__
    for name, step in plan.items():
        if step[0] == "set":
            attrs[name] = step[1]
        else:
            attrs[name][step[1]:] = step[2]


def apply_default(doc: Document, change: dict[str, Any]) -> None:
    """Bring `doc` one version on: its fields and lists, nothing derived from them."""
    install(doc, prepare(doc, change))


def apply_private(doc: Document, change: dict[str, Any]) -> None:
    """`apply_default` for an instance no one else holds yet (a load): lists changed in place."""
    install(doc, prepare(doc, change, private=True))


_appliers: dict[type | str, tuple[Callable[[Any, dict[str, Any]], None], bool]] = {}
# By class, as _appliers: how big an instance is in memory, by the class's own measure.
_sizes: dict[type | str, Callable[[Any], int] | None] = {}


def register_applier(document_class: type | str, fn: Callable[[Any, dict[str, Any]], None],
                     fields_first: bool = False, held_size: Callable[[Any], int] | None = None) -> None:
    """Apply changes to instances of `document_class` (and its subclasses) with `fn(doc,
    change)`, which must keep whatever the class derives from its fields in step. The class
    may be named "module.QualName", so that a package registers before its class exists.
    `fields_first`: the class derives that state from its fields whenever an instance is
    built, so a load applies the changes after the snapshot to the stored fields and builds
    the instance once, from the result. `held_size(doc)`: a measure of what the instance
    holds in memory (any unit), for a class whose derived state can outgrow what a fresh
    load builds as changes are applied; holders compare it with the measure of a fresh
    load and load afresh when it has grown too far (see live.py)."""
    _appliers[document_class] = (fn, fields_first)
    _sizes[document_class] = held_size


def applier(document_class: type) -> tuple[Callable[[Any, dict[str, Any]], None], bool]:
    """The applier of a class and whether a load applies changes to its fields first (see
    `register_applier`): registered for it or a base, else named by its package (a package's
    `__zarn_appliers__` maps class names to the module whose `apply` and `FIELDS_FIRST`
    serve them, so that the package need not import the framework to name them), else the
    default."""
    for cls in document_class.__mro__:
        found = _appliers.get(cls) or _appliers.get(f"{cls.__module__}.{cls.__qualname__}")
        if found is not None:
            return found
        package = sys.modules.get(cls.__module__.rpartition(".")[0])
        module = getattr(package, "__zarn_appliers__", {}).get(cls.__qualname__)
        if module is not None:
            served = importlib.import_module(module)
            found = _appliers[cls] = (served.apply, bool(getattr(served, "FIELDS_FIRST", False)))
            _sizes[cls] = getattr(served, "held_size", None)
            return found
    return apply_default, False


def held_size(doc: Any) -> int | None:
    """The instance's measure of what it holds in memory (see `register_applier`), or None
    when its class has none."""
    cls = type(doc)
    applier(cls)  # a package's applier module names the measure too
    for base in cls.__mro__:
        for name in (base, f"{base.__module__}.{base.__qualname__}"):
            if name in _sizes:
                size = _sizes[name]
                return None if size is None else size(doc)
    return None


def advance(doc: Document, changes: list[tuple[int, str]]) -> None:
    """Bring a held instance through `changes` (from its version on, in order) with its
    class's applier. The instance is no longer one a save can build on."""
    attrs = doc.__dict__
    fn = applier(type(doc))[0]
    key = doc.key
    attrs.pop("_changes_base", None)
    count, size, snapshot_size = attrs.get("_changes_tail", (0, 0, 0))
    attrs["_changes_tail"] = (count + len(changes), size + sum(len(text) for _v, text in changes), snapshot_size)
    for version, change_text in changes:
        change = loads(change_text)
        # Odd while a change is being installed: a reader of several fields reads the count
        # before and after, and reads again when it moved (see `settled`).
        attrs["_changes_seq"] = attrs.get("_changes_seq", 0) + 1
        try:
            fn(doc, change)
            attrs["_stored"] = (key, version)
        finally:
            attrs["_changes_seq"] += 1


def settled(doc: Any, read: Callable[[], R]) -> R:
    """`read()`, which reads several fields of a document that changes may be applied to in
    another thread, done again until no change was installed while it ran: so that what it
    read is of one version."""
    attrs = doc.__dict__
    while True:
        before = attrs.get("_changes_seq", 0)
        if before % 2:
            time.sleep(0)  # a change is being installed: let it finish
            continue
        result = read()
        if attrs.get("_changes_seq", 0) == before:
            return result


def loads(text: str) -> dict[str, Any]:
    try:
        change = json.loads(text)
    except (ValueError, RecursionError):
        raise LoadError("a stored change is not JSON") from None
    if type(change) is not dict:
        raise LoadError("a stored change is not an object")
    return change


# --- for people ------------------------------------------------------------------------------------

def describe(change: dict[str, Any] | None) -> list[str]:
    """One line per thing the change did, for a history listing."""
    if change is None:
        return ["whole document written"]
    lines: list[str] = []
    for name, records in change.get("was", {}).get("lists", {}).items():
        lines.extend(f"- {name} {_short(record)}" for record in records)
    for name, spec in change.get("lists", {}).items():
        lines.extend(f"+ {name} {_short(record)}" for record in spec.get("append", ()))
    for name, records in change.get("replace", {}).items():
        lines.append(f"= {name} rewritten ({len(records)} records)")
    for name, value in change.get("fields", {}).items():
        lines.append(f"= {name} {json.dumps(value)}")
    return lines or ["no change"]


def _short(record: Any) -> str:
    if isinstance(record, dict):
        return " ".join(str(value) for value in record.values())
    return json.dumps(record)


def net(changes: list[dict[str, Any] | None]) -> dict[str, Any]:
    """What a run of consecutive changes did as a whole: per list the records added and
    removed (as multisets), per field the first old and the last new value. ValueError when
    one of them was a whole-document write, which says nothing of what it replaced."""
    added: dict[str, Counter[str]] = {}
    removed: dict[str, Counter[str]] = {}
    fields: dict[str, list[Any]] = {}

    def move(name: str, records: list[Any], into: dict[str, Counter[str]], other: dict[str, Counter[str]]) -> None:
        for record in records:
            text = json.dumps(record)  # display dicts list their fields in one order
            back = other.setdefault(name, Counter())
            if back[text]:
                back[text] -= 1
            else:
                into.setdefault(name, Counter())[text] += 1

    for change in changes:
        if change is None:
            raise ValueError("whole document written")
        was = change.get("was", {})
        for name, records in was.get("lists", {}).items():
            move(name, records, removed, added)
        for name, records in was.get("replace", {}).items():
            move(name, records, removed, added)
        for name, spec in change.get("lists", {}).items():
            move(name, spec.get("append", []), added, removed)
        for name, records in change.get("replace", {}).items():
            move(name, records, added, removed)
        for name, value in change.get("fields", {}).items():
            old = was.get("fields", {}).get(name)
            if name in fields:
                fields[name][1] = value
            else:
                fields[name] = [old, value]
    out: dict[str, Any] = {"added": {}, "removed": {}, "fields": {}}
    for side, counts in (("added", added), ("removed", removed)):
        for name, counter in counts.items():
            records = [json.loads(text) for text, n in counter.items() for _ in range(n)]
            if records:
                out[side][name] = records
    out["fields"] = {name: {"from": pair[0], "to": pair[1]} for name, pair in fields.items() if pair[0] != pair[1]}
    return out


# --- the text of a store's whole-document reads -------------------------------------------------

def materialize(text: str, changes: list[tuple[int, str]]) -> str:
    """The stored text after `changes`, applied to the display data of a snapshot: for callers
    of a store's `load`, which returns whole documents."""
    data = stored_display(text)
    for _version, change_text in changes:
        change = loads(change_text)
        data.update(change.get("fields", {}))
        data.update(change.get("replace", {}))
        for name, spec in change.get("lists", {}).items():
            values = data.get(name) or []
            data[name] = _without(values, spec["remove"], spec["append"], True)
    return json.dumps(data)
