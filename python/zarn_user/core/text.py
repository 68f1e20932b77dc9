"""The one rule for every string stored: names, objects, actions and user ids.

Every door (the Python API, the command line, the HTTP API, imports) checks text here before
anything is written. A stored string is:

- a `str` of 1 to MAX_TEXT characters, with no white space at either end;
- encodable as UTF-8: no lone surrogates (U+D800 to U+DFFF);
- free of control characters (Unicode categories Cc, and the line and paragraph separators
  U+2028 and U+2029), so that it survives every interchange format on one line;
- in Unicode normalization form NFC. Every door puts what it is given in NFC form before
  the check (`check_text`), so that "é" typed composed or decomposed is one object, and a
  revoke finds what a grant stored whichever way it was typed.

Role and application names follow, in addition, the patterns of the module's declarations
(`Group.child`, `RoleMatrix.name`), matched whole (`re.fullmatch`: a trailing newline is no
part of a name).

Data stored before the rule still loads; `problems` lists what breaks it and `repaired` says
what a string becomes when the command line repairs it.
"""

from __future__ import annotations

import re
import unicodedata
from functools import cache
from typing import Any

from .errors import BadInput

MAX_TEXT = 256
ROLE_RULE = "2 to 19 letters, digits and single underscores, starting and ending with a letter or digit"
APP_RULE = "2 to 19 letters, digits and single hyphens, starting and ending with a letter or digit"
TEXT_RULE = (f"1 to {MAX_TEXT} characters of UTF-8 text in NFC form, without control characters, lone "
             "surrogates or white space at either end")

_SEPARATORS = {"\u2028", "\u2029"}

# The rule as one regular expression, for schemas that describe it (OpenAPI): control
# characters and the separators nowhere, no white space (as str.strip sees it) at either
# end, no newline anywhere (so that `$` cannot stop before one). Its length and NFC form are
# said apart (maxLength, the normalization every door does); lone surrogates no JSON text
# or URL in UTF-8 can carry.
_CONTROL = "\\x00-\\x1f\\x7f-\\x9f\\u2028\\u2029"
_SPACE = "\\x20\\xa0\\u1680\\u2000-\\u200a\\u202f\\u205f\\u3000"
TEXT_PATTERN = f"^(?!.*\\n)[^{_CONTROL}{_SPACE}](?:[^{_CONTROL}]*[^{_CONTROL}{_SPACE}])?$"


def _shown(value: str) -> str:
    """A value as messages quote it: escapes for what cannot be printed or encoded."""
    return ascii(value) if not value.isprintable() or _has_surrogate(value) else repr(value)


def _has_surrogate(value: str) -> bool:
    return any("\ud800" <= c <= "\udfff" for c in value)


def text_error(what: str, value: object) -> str | None:
    """Why `value` cannot be stored as `what` (an object, an action, a user id), or None."""
    if not isinstance(value, str):
        return f"{what} must be a string, not {type(value).__name__}"
    if not value:
        return f"empty {what}"
    shown = _shown(value[:40] + ("..." if len(value) > 40 else ""))
    if len(value) > MAX_TEXT:
        return f"{what} of {len(value)} characters: at most {MAX_TEXT} ({TEXT_RULE})"
    if _has_surrogate(value):
        return f"invalid {what} {shown}: a lone surrogate is no UTF-8 text ({TEXT_RULE})"
    if any(unicodedata.category(c) == "Cc" or c in _SEPARATORS for c in value):
        return f"invalid {what} {shown}: control characters ({TEXT_RULE})"
    if value != value.strip():
        return f"invalid {what} {shown}: white space at either end ({TEXT_RULE})"
    if not unicodedata.is_normalized("NFC", value):
        return (f"invalid {what} {shown}: not in Unicode NFC form; write it composed, "
                f"{_shown(unicodedata.normalize('NFC', value))} ({TEXT_RULE})")
    return None


def nfc(value: str) -> str:
    """`value` in NFC form (lone surrogates left as they are, for the check to name)."""
    if _has_surrogate(value):
        return value
    return unicodedata.normalize("NFC", value)


def check_text(what: str, value: object) -> str:
    """`value` in NFC form when it follows the rule; BadInput saying why not otherwise."""
    if isinstance(value, str):
        value = nfc(value)
    error = text_error(what, value)
    if error:
        raise BadInput(error)
    return value  # type: ignore[return-value]


@cache
def role_pattern() -> re.Pattern[str]:
    """The role-name pattern of the module's declarations (`Group.child`)."""
    import zarn_user.role_matrix as rm

    return re.compile(getattr(rm.Group, "_fields")["child"].regex)


@cache
def app_pattern() -> re.Pattern[str]:
    """The application-name pattern of the module's declarations (`RoleMatrix.name`)."""
    import zarn_user.role_matrix as rm

    return re.compile(getattr(rm.RoleMatrix, "_fields")["name"].regex)


def name_pattern(regex: str) -> str:
    """A name pattern of the module's declarations, for schemas: matched whole, so no newline
    may end it (Python's `$` would stop before one)."""
    return "^(?!.*\\n)" + regex.removeprefix("^")


def role_error(name: object) -> str | None:
    """Why `name` cannot be a new role, or None."""
    if isinstance(name, str) and role_pattern().fullmatch(name):
        return None
    if not isinstance(name, str):
        return f"a role name is a string, not {type(name).__name__}"
    hint = ""
    if "@" in name or name.isdigit() or "-" in name or ":" in name:
        hint = " (a user, an e-mail or an id is no role here: give users roles with zarn-roles assign)"
    return f"invalid role name {_shown(name[:40])}: {ROLE_RULE}{hint}"


def check_role(name: object) -> str:
    error = role_error(name)
    if error:
        raise BadInput(error)
    return name  # type: ignore[return-value]


def app_error(name: object) -> str | None:
    """Why `name` cannot be an application's name, or None."""
    if isinstance(name, str) and app_pattern().fullmatch(name):
        return None
    shown = _shown(name[:40]) if isinstance(name, str) else type(name).__name__
    return f"invalid application name {shown}: {APP_RULE}"


def check_app(name: object) -> str:
    error = app_error(name)
    if error:
        raise BadInput(error)
    return name  # type: ignore[return-value]


def user_error(user: object) -> str | None:
    """Why `user` is no valid user id, or None."""
    if not isinstance(user, str):
        return f"a user id is a string, not {type(user).__name__}"
    return text_error("user id", user)


def value_error(what: str, value: str) -> str | None:
    """Why an object or action is refused, or None."""
    return text_error(what, value)


def check_value(what: str, value: str) -> str:
    return check_text(what, value)


# --- data stored before the rule --------------------------------------------------------


def repaired(value: str) -> str:
    """What a stored string that breaks the rule becomes on repair: lone surrogates become
    U+FFFD, control characters are dropped, white space at the ends is trimmed, the rest is
    put in NFC form and cut to MAX_TEXT characters ("" when nothing is left)."""
    out = "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in value)
    out = "".join(c for c in out if unicodedata.category(c) != "Cc" and c not in _SEPARATORS)
    return unicodedata.normalize("NFC", out.strip())[:MAX_TEXT].strip()


def problems(matrix: Any, assignments: Any = None) -> list[dict[str, Any]]:
    """Every stored string of the matrix (and of its users' assignments) that breaks the
    rule: where it is, the reason, and what repair makes of it."""
    found: list[dict[str, Any]] = []

    def look(where: str, what: str, value: str) -> None:
        error = text_error(what, value)
        if error:
            found.append({"where": where, "value": value, "error": error, "repaired": repaired(value)})

    for n, p in enumerate(matrix.policies):
        look(f"policy {n + 1} of role {_shown(p.sub)}", "object", p.obj)
        look(f"policy {n + 1} of role {_shown(p.sub)}", "action", p.act)
    if assignments is not None:
        for n, a in enumerate(assignments.assignments):
            look(f"assignment {n + 1} (role {a.role})", "user id", a.user)
    return found
