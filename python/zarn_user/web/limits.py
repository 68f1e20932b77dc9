"""Bounded work for any caller: size caps (413 naming the cap), the weight of each route
(heavy work needs a token when the server has one), and which work is answered on the
event loop and which in a worker thread.

Weights. `WEIGHTS` maps a route's name to the largest size of its work that is still light
(about what a check of a few roles costs): None, always light; HEAVY, always heavy. A handler
says what its request asks with `admit(request, "route", size)` before it starts the work.
Heavy work needs a valid token (a write token, or the read token) when the server has one;
a server with no token at all (read-only) lets anyone do heavy work, within the caps, as
nobody could present one.
"""

from __future__ import annotations

import dataclasses
import json
from typing import Any, Mapping

from starlette.requests import Request

from . import tokens
from .console import ApiError, Console

LIGHT_ROLES = 100  # roles named in a check (or a batch) that are still light work
INLINE_WORK = 256  # roles named (plus checks) up to which a check is answered on the event loop
INLINE_BYTES = 64 << 10  # larger JSON bodies are parsed in a worker thread
LIGHT_TEXT = 64 << 10  # a playground file up to this size is light work

HEAVY = -1  # the weight of work that is heavy whatever its size (sizes are 0 or more)

# route -> the largest size that is light (None: always light; HEAVY: always heavy). Sizes:
# check and check-batch, the roles named plus the checks (a check of one role: 1);
# permissions, the roles named;
# explore, (levels up + levels down) x roles per level; playground, the file's bytes;
# diff, the versions between the two compared.
WEIGHTS: dict[str, int | None] = {
    "check": LIGHT_ROLES,
    "check-batch": LIGHT_ROLES,
    "permissions": 10,  # each role's permissions may number 10^5, each with its path
    "who": None,  # pages of at most 500
    "explore": 300,  # the page asks for at most 6 levels each way, 24 roles a level
    "playground": LIGHT_TEXT,
    "graph": HEAVY,  # an SVG drawing, by Graphviz when it is installed
    "export": HEAVY,
    "import-dry-run": HEAVY,
    "assertions": HEAVY,
    "holders": None,  # pages of at most 200
    "users/who": None,  # pages of at most 500
    "role": None,
    "roles": None,
    "log": None,  # pages of at most 500
    "diff": 64,  # the versions between the two compared: each is a change read from the log
}


@dataclasses.dataclass(frozen=True)
class Caps:
    """The most one request may ask for; more is answered 413 with the cap in the message."""

    checks: int = 1000  # checks in one check-batch
    roles: int = 100_000  # roles named in one check, in one check-batch, or one permissions request
    assertions: int = 1000  # assertions in one file
    assertion_bytes: int = 1 << 20  # an assertion file's size
    import_entries: int = 1_000_000  # lines of a Casbin file, or entries of a JSON document, imported at once
    read_token: str | None = None  # the token that heavy reads need besides the write tokens

    def __post_init__(self) -> None:
        for field in ("checks", "roles", "assertions", "assertion_bytes", "import_entries"):
            if not isinstance(getattr(self, field), int) or getattr(self, field) < 1:
                raise ValueError(f"the cap on {field.replace('_', ' ')} is a whole number of at least 1")


def too_large(message: str) -> ApiError:
    return ApiError(413, message, code="too_large")


def cap(count: int, most: int, what: str, one: str) -> None:
    """413 when a request asks for more than `most`: "`what` takes at most N `one`; this one has M"."""
    if count > most:
        raise too_large(f"{what} takes at most {most} {one}; this one has {count}")


def caps_of(request: Request) -> Caps:
    found: Caps = request.app.state.caps
    return found


def heavy(route: str, size: int) -> bool:
    light = WEIGHTS[route]
    return light is not None and size > light


def admit(request: Request, route: str, size: int = 0) -> None:
    """401 when the work `route` is asked for at `size` is heavy and the server has a token
    that the request does not carry."""
    if not heavy(route, size):
        return
    console: Console = request.app.state.console
    caps = caps_of(request)
    written: str | Mapping[str, str] | None = console.token
    if written is None and caps.read_token is None:
        return  # a read-only server: nobody could present a token; the caps bound the work
    named = tokens.named(written)
    if caps.read_token is not None:
        named["\0read"] = caps.read_token
    given = tokens.bearer(request.headers.get("authorization", ""))
    if given is None or tokens.name_of(named, given) is None:
        raise ApiError(401, f"{route}: this request is heavy work, which needs the token "
                            "(Authorization: Bearer TOKEN); smaller requests need none",
                       headers={"WWW-Authenticate": 'Bearer realm="zarn-roles"'}, code="token_needed")


# --- sizes -----------------------------------------------------------------------------------


def roles_named(check: Any) -> int:
    """The roles a check names (0 for a malformed one: refused later, as it is)."""
    roles = check.get("roles") if isinstance(check, dict) else None
    return len(roles) if isinstance(roles, list) else 0


def check_size(request: Request, check: Any) -> int:
    """A check's size, capped and admitted."""
    size = roles_named(check)
    cap(size, caps_of(request).roles, "a check", "roles")
    admit(request, "check", size)
    return size


def batch_size(request: Request, checks: list[Any]) -> int:
    """A check batch's size (the checks, plus the roles they name), capped and admitted."""
    caps = caps_of(request)
    cap(len(checks), caps.checks, "check-batch", "checks")
    named = sum(roles_named(c) for c in checks)
    cap(named, caps.roles, "check-batch", "roles named in all its checks")
    size = named + len(checks)
    admit(request, "check-batch", size)
    return size


def inline(size: int) -> bool:
    """Whether work of this size is answered on the event loop (else in a worker thread)."""
    return size <= INLINE_WORK


def import_entries(text: str) -> int:
    """The entries of an import: those of a JSON document's lists, or the lines of a Casbin
    file that are not blank or comments (an upper bound on its entries)."""
    head = text.lstrip("\ufeff \t\r\n")[:1]
    if head == "{":
        try:
            doc = json.loads(text)
        except (ValueError, RecursionError):
            return 0  # refused by the import itself, with its reason
        if isinstance(doc, dict):
            return sum(len(v) for v in doc.values() if isinstance(v, list))
        return 0
    return sum(1 for line in text.splitlines() if line.strip() and not line.lstrip().startswith("#"))


def check_import(request: Request, text: str) -> None:
    """413 when an import holds more entries than the cap (run in a worker thread)."""
    cap(import_entries(text), caps_of(request).import_entries, "an import", "entries")


def check_assertion_text(request: Request, raw: bytes) -> None:
    most = caps_of(request).assertion_bytes
    if len(raw) > most:
        raise too_large(f"an assertion file takes at most {most} bytes; this one has {len(raw)}")
