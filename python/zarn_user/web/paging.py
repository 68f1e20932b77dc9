"""Paging and versions of the API's read answers, the same on every list.

A list answers a page: at most `limit` items (1 to 500, 50 when not given), `next`, the
cursor of the following page (null after the last), and `total`, how many the whole list
has. A cursor is opaque to clients: base64url of the list it belongs to (a route and its
question) and a position key, so that a cursor given to another list is refused (400).

A cursor names a position, not a version: the following page is read from the version
current when it is asked, after the key. Lists in an order of their own data (roles by
name, users by id, permissions by object and action) go on after the last item shown: an
item present in both versions is never shown twice nor skipped. The holders of a
permission are in the order of the matrix's query index, whose positions hold while the
index follows changes; when the index was made anew meanwhile, the cursor is refused (410)
and the list starts again.

`offset` (the first item's position), where it was taken before cursors, still is; with a
cursor it is refused.

Every read answer says the version it was computed from (`version` in a JSON body, and the
`ETag` header), and `at_least=V` asks for an answer computed from version V or a newer one.
"""

from __future__ import annotations

import base64
import binascii
import bisect
import functools
import hashlib
import json
import re
from typing import Any, Callable, Sequence, TypeVar

import anyio
from zarn_engine.changes import settled
from starlette.requests import Request
from starlette.responses import Response

from .console import ApiError, bad, etag, text_field
from .snapshot import Snapshot

R = TypeVar("R")
DEFAULT_LIMIT = 50
MAX_LIMIT = 500
NUMBER = re.compile("[0-9]{1,15}", re.ASCII)  # int() takes "+1", " 1", "1_0" and other digits


def number(value: str | None, name: str) -> int | None:
    """A query number of 0 or more; None when not given, 400 when not a number."""
    if value is None:
        return None
    if not NUMBER.fullmatch(value):
        raise bad(f"{name} is a whole number, 0 or more, not {value[:40]!r}")
    return int(value)


def at_least(query: Any) -> int | None:
    """The version `?at_least=` asks for, or None."""
    return number(query.get("at_least"), "at_least")


class Page:
    """What a request asks of a list: `limit`, and `cursor` or `offset`."""

    def __init__(self, query: Any, list_id: str, offset_allowed: bool = True, default: int = DEFAULT_LIMIT) -> None:
        self.list_id = _digest(list_id)
        limit = number(query.get("limit"), "limit")
        if limit is not None and not 1 <= limit <= MAX_LIMIT:
            raise bad(f"limit is from 1 to {MAX_LIMIT}, not {limit}")
        self.limit = default if limit is None else limit
        self.offset = number(query.get("offset"), "offset") if offset_allowed else None
        self.key: Any = None
        raw = query.get("cursor")
        if raw is not None and raw != "":
            if self.offset is not None:
                raise bad("give a cursor or an offset, not both")
            self.key = self._decode(raw)

    def _decode(self, raw: str) -> Any:
        try:
            text = base64.urlsafe_b64decode(raw.encode("ascii") + b"=" * (-len(raw) % 4))
            data = json.loads(text.decode("utf-8", "surrogatepass"))
        except (ValueError, UnicodeError, binascii.Error):
            data = None
        if not (isinstance(data, list) and len(data) == 2 and isinstance(data[0], str)):
            raise bad("cursor: not a cursor this API gave (use the 'next' of the previous page)")
        if data[0] != self.list_id:
            raise bad("cursor: the cursor of another list (another question or route)")
        return data[1]

    def cursor(self, key: Any) -> str:
        """The opaque cursor of the position `key` in this list."""
        # UTF-8 (text stored before the text rule may hold a lone surrogate: passed through)
        text = json.dumps([self.list_id, key], separators=(",", ":"), ensure_ascii=False)
        raw = text.encode("utf-8", "surrogatepass")
        return base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")

    def answer(self, following: Any, total: int | None) -> dict[str, Any]:
        """The paging part of an answer, `following` the key of the next page's position
        (None after the last page); the page's items are added by the caller."""
        out: dict[str, Any] = {"limit": self.limit, "next": None if following is None else self.cursor(following)}
        if total is not None:
            out["total"] = total
        if self.offset is not None:
            out["offset"] = self.offset
        return out

    def of_sorted(self, items: Sequence[Any], key: Callable[[Any], Any] = lambda x: x,
                  keys: Sequence[Any] | None = None) -> tuple[list[Any], Any]:
        """A page of a list sorted by `key` (its keys already made: `keys`), after the
        cursor's key or from the offset: (the page, the key of its last item when more follow)."""
        if self.key is not None:
            after = self._key_value(self.key)
            start = bisect.bisect_right(keys if keys is not None else [key(x) for x in items], after)
        else:
            start = self.offset or 0
        page = list(items[start:start + self.limit])
        more = start + self.limit < len(items)
        return page, (_jsonable(key(page[-1])) if more and page else None)

    @staticmethod
    def _key_value(raw: Any) -> Any:
        if isinstance(raw, str):
            return raw
        if isinstance(raw, list) and all(isinstance(x, str) for x in raw):
            return tuple(raw)
        raise bad("cursor: not a cursor this API gave (use the 'next' of the previous page)")


def _jsonable(key: Any) -> Any:
    return list(key) if isinstance(key, tuple) else key


def _digest(list_id: str) -> str:
    return hashlib.blake2s(list_id.encode("utf-8", "surrogatepass"), digest_size=6).hexdigest()


def index_position(page: Page) -> tuple[int | None, int | None]:
    """For a list in the order of a query index: (the index's serial the cursor was made
    with, the position to go on from), (None, None) for the first page."""
    if page.key is None:
        return None, None
    key = page.key
    if not (isinstance(key, list) and len(key) == 2 and all(type(x) is int and 0 <= x < 1 << 53 for x in key)):
        raise bad("cursor: not a cursor this API gave (use the 'next' of the previous page)")
    return key[0], key[1]


def gone() -> ApiError:
    return ApiError(410, "cursor: the list was reordered since that page (its index was made anew): "
                         "start again from the first page", code="cursor_expired")


# --- the lists ----------------------------------------------------------------------------


def roles(snap: Snapshot, query: str, page: Page) -> dict[str, Any]:
    """Role names in name order, containing `query` (any case)."""
    found = snap.sorted_roles(query)
    names, following = page.of_sorted(found, keys=found)
    return {**page.answer(following, len(found)), "roles": names}


def who(console: Any, snap: Snapshot, obj: str, act: str, page: Page) -> dict[str, Any]:
    """The roles holding (obj, act), in the order of the matrix's index (that of `who` on
    the command line), each with its shortest path."""
    serial, position = index_position(page)
    if serial is not None and serial != snap.serial:
        raise gone()
    if page.offset is not None:  # the first `offset` holders are walked over
        found, following, total = console.who(snap, obj, act, page.offset + page.limit)
        found = found[page.offset:]
    else:
        found, following, total = console.who(snap, obj, act, page.limit, position)
    return {**page.answer(None if following is None else [snap.serial, following], total), "holders": found}


def permissions(snap: Snapshot, roles: list[str], page: Page) -> dict[str, Any]:
    """Every permission the roles hold, by object then action, each with its shortest path."""
    found = sorted(snap.implicit(roles), key=lambda p: (p["obj"], p["act"]))
    keys = [(p["obj"], p["act"]) for p in found]
    items, following = page.of_sorted(found, lambda p: (p["obj"], p["act"]), keys)
    return {**page.answer(following, len(found)), "permissions": items}


def computed(snap: Snapshot, read: Callable[[], R]) -> tuple[R, int]:
    """`read()` of one version of the snapshot's matrix, and that version: the snapshot's,
    or a newer one when the live document applied a change to the matrix in place since."""
    matrix = snap.matrix
    result, version = settled(matrix, lambda: (read(), matrix.version))
    return result, version or 0


async def snapshot(console: Any, app: str, at_least: int | None) -> Snapshot:
    """The application's snapshot, of version `at_least` or newer: on the event loop when
    the one held was confirmed lately and is that recent (no thread switch, no read of the
    store), else read in a worker thread (which may wait for that version)."""
    held: Snapshot | None = console.recent(app, at_least)
    if held is not None:
        return held
    snap: Snapshot = await anyio.to_thread.run_sync(functools.partial(console.snapshot, app, at_least))
    return snap


def versioned(body: dict[str, Any], version: int | None) -> tuple[dict[str, Any], dict[str, str]]:
    """A read answer's body with the version it was computed from, and its ETag header."""
    return {**body, "version": version or 0}, {"ETag": etag(version)}


def no_body_at_least(data: Any) -> None:
    """`at_least` is asked in the query, on every route: one given in a body is refused
    rather than passed over."""
    if isinstance(data, dict) and "at_least" in data:
        raise bad("at_least is a query parameter (?at_least=VERSION), not a field of the body")


async def who_answer(console: Any, request: Request, respond: Callable[..., Response]) -> Response:
    """`GET .../who?obj=&act=`: the roles holding a permission, a page at a time."""
    q = request.query_params
    obj = text_field({k: q[k] for k in ("obj",) if k in q}, "obj", "object")
    act = text_field({k: q[k] for k in ("act",) if k in q}, "act", "action")
    page = Page(q, f"who\0{request.path_params['app']}\0{obj}\0{act}")
    snap = await snapshot(console, request.path_params["app"], at_least(q))
    body, version = await anyio.to_thread.run_sync(computed, snap, lambda: who(console, snap, obj, act, page))
    content, headers = versioned(body, version)
    return respond(content, headers=headers)
