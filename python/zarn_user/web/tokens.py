"""Named tokens: a server may accept several, each with a name that the changes made with it
are logged under (`zarn-roles log` shows it as who made them).

    --token ops=SECRET --token ci=OTHER     named tokens, several allowed
    --token SECRET                          one token, logged as "web"
    --token-file FILE                       NAME=SECRET lines; blank lines and # comments

A name has letters, digits, ".", "_", "-" and "@" (at most 64); a text whose part before
the first "=" is no such name, or with nothing after it, is a token without a name.
"""

from __future__ import annotations

import hmac
import re
from typing import Iterable, Mapping

UNNAMED = "web"
_NAME = re.compile(r"^[A-Za-z0-9._@-]{1,64}$")


class TokenError(ValueError):
    """Tokens that cannot be used: the message says which and why."""


def parse(values: Iterable[str], where: str = "--token") -> dict[str, str]:
    """name -> secret for `NAME=SECRET` or bare `SECRET` values."""
    tokens: dict[str, str] = {}
    for value in values:
        name, sep, secret = value.partition("=")
        if not (sep and secret and _NAME.match(name)):
            name, secret = UNNAMED, value
        if not secret.strip() or secret != secret.strip():
            raise TokenError(f"{where}: a token is a text without surrounding white space")
        if name in tokens:
            raise TokenError(f"{where}: the name {name!r} is given to two tokens")
        if secret in tokens.values():
            raise TokenError(f"{where}: one secret is given two names")
        tokens[name] = secret
    return tokens


def read_file(path: str) -> dict[str, str]:
    """The NAME=SECRET lines of a token file."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = [line.strip() for line in f]
    except (OSError, UnicodeDecodeError) as exc:
        raise TokenError(f"cannot read the token file {path}: {getattr(exc, 'strerror', None) or exc}") from None
    return parse([line for line in lines if line and not line.startswith("#")], path)


def named(token: str | Mapping[str, str] | None) -> dict[str, str]:
    """A server's write tokens by name (one alone is named "web"; none: empty)."""
    if token is None:
        return {}
    return {UNNAMED: token} if isinstance(token, str) else dict(token)


def bearer(authorization: str) -> str | None:
    """The token an Authorization header gives as `Bearer TOKEN`, or None."""
    scheme, _, given = authorization.partition(" ")
    return given.strip() if scheme.lower() == "bearer" else None


def name_of(tokens: Mapping[str, str], given: str) -> str | None:
    """The name of the token `given` is, or None; every secret is compared, in constant time."""
    found = None
    for name, secret in tokens.items():
        if hmac.compare_digest(given.encode(), secret.encode()):
            found = name
    return found
