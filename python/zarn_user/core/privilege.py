"""Paths to everything: a role granted `*:*` (the built-in root) holds every permission, and
so does every role that contains it and every user assigned one of those. A change that gives
a role or a user such a path, where it had none, is refused unless the caller asks for it
(`allow_superuser`), at every door; what was there before stays as it is.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable

from .errors import Superuser
from .holders import holdings

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix

EVERYTHING = ("*", "*")
HOW = "ask for it explicitly (--allow-superuser on the command line, allow_superuser in the APIs)"


def superusers(matrix: RoleMatrix | Any) -> dict[str, list[str]]:
    """Every role that holds *:*, with its shortest chain down to the role granted it."""
    return {role: h.path for role, h in holdings(matrix, *EVERYTHING).items() if h.granted == EVERYTHING}


def _refuse(found: dict[str, list[str]], allow: bool, before: list[str] | None = None) -> None:
    if not found or allow:
        return
    lines = list(before or [])
    for subject, path in found.items():
        through = f" through {' -> '.join(path)}" if len(path) > 1 else " (granted *:*)"
        lines.append(f"refused: {subject} would hold everything (*:*){through}")
    lines.append(f"nothing written: a path to *:* is given only when asked for; {HOW}")
    raise Superuser(lines, subjects=found)


def check_roles(before: dict[str, list[str]], after: dict[str, list[str]], allow: bool,
                reasons: list[str] | None = None) -> None:
    """Superuser for every role that holds *:* after a change and did not before; `reasons`
    come first in its message."""
    _refuse({role: path for role, path in after.items() if role not in before}, allow, reasons)


def check_grant(role: str, pairs: Iterable[tuple[str, str]], matrix: Any, allow: bool) -> None:
    """Superuser when `pairs` grant *:* to a role that does not hold it yet."""
    if EVERYTHING in set(pairs) and not allow and role not in superusers(matrix):
        _refuse({role: [role]}, allow)


def check_include(role: str, subs: Iterable[str], before: dict[str, list[str]], allow: bool) -> None:
    if role in before:
        return
    for sub in subs:
        if sub in before:
            _refuse({role: [role, *before[sub]]}, allow)


def check_users(new: Iterable[tuple[str, str]], had: dict[str, list[str]], after: dict[str, list[str]],
                allow: bool) -> None:
    """Superuser for every user that a new (user, role) assignment gives *:*, when none of the
    roles it had before (`had`) gave it."""
    found: dict[str, list[str]] = {}
    for user, role in new:
        if role in after and user not in found and not any(r in after for r in had.get(user, [])):
            found[user] = [user, *after[role]]
    _refuse(found, allow)
