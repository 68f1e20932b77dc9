"""The errors of the document layer and of its stores."""

from __future__ import annotations

import urllib.parse


class StorageError(RuntimeError):
    """A store could not do what was asked; nothing was written unless the message says so."""


class ConflictError(StorageError):
    """The stored copy changed since this instance was loaded or last saved; nothing was written.

    Where a store knows them: `collection` and `key` of the document, `expected` (the version
    the writer built on; None when it expected no document) and `found` (the version stored;
    None when there is none). Callers read these, never the message."""

    def __init__(self, message: str = "", *, collection: str | None = None, key: str | None = None,
                 expected: int | None = None, found: int | None = None) -> None:
        super().__init__(message)
        self.collection = collection
        self.key = key
        self.expected = expected
        self.found = found


class ReadOnlyError(StorageError):
    """The store can be read but not written."""


class ConnectionLost(StorageError):
    """The connection to the store broke; the operation is not known to have succeeded."""


class StoreLocked(StorageError):
    """Another connection held the store's lock for longer than the wait allowed; nothing
    was written."""


class VersionNotReached(StorageError):
    """A version asked for (`at_least`) is not in the store, still after the wait allowed:
    never committed there, or not yet received by a replica."""


class StoreBusy(StorageError):
    """No connection to the store could be had within the wait allowed: every one of this
    process's connections is in use, or the server has no slot left for another. Transient:
    nothing was written, try again later."""


class StoreFull(StorageError):
    """The store's disk, or a size limit set on it, is full; nothing was written."""


class StoreCorrupt(StorageError):
    """The store's files are damaged or are not a database; restore them from a backup."""


class SchemaMismatch(StorageError):
    """The store's schema is not one this software can use: it reads and writes nothing
    there. `found` is the store's schema version, `supported` this software's."""

    def __init__(self, message: str, found: int, supported: int) -> None:
        super().__init__(message)
        self.found = found
        self.supported = supported

    def __reduce__(self) -> tuple[type, tuple[str, int, int]]:
        return type(self), (str(self), self.found, self.supported)


class SchemaTooNew(SchemaMismatch):
    """A newer release finished its migration of the store: this software is too old for it."""


class SchemaTooOld(SchemaMismatch):
    """The store's schema is older than this software needs: `zarn-roles migrate` brings it
    up (see docs/operations/upgrades.md)."""


class InvalidKey(StorageError, ValueError):
    """A collection or key that no store holds: not a string, or with a NUL character or a
    lone surrogate in it; nothing was written."""


class ConfigurationError(StorageError, ValueError):
    """The store's URL or settings are wrong (an unknown database, user or option): it fails
    at once, never after retries."""


class DoesNotExist(KeyError):
    """No stored document has the requested key."""

    def __str__(self) -> str:  # KeyError would print the repr of the message
        return str(self.args[0]) if self.args else ""


class LoadError(ValueError):
    """A stored document could not be turned back into an instance."""


def check_key(collection: object, key: object) -> None:
    """Raise InvalidKey unless both are strings that every store can hold as text."""
    for what, value in (("collection", collection), ("key", key)):
        if not isinstance(value, str):
            raise InvalidKey(f"a {what} must be a string, not {type(value).__name__}")
        if "\x00" in value:
            raise InvalidKey(f"a {what} cannot hold a NUL character: {_short(value)}")
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise InvalidKey(f"a {what} cannot hold a lone surrogate: {_short(value)}") from None


def safe_url(url: str) -> str:
    """The URL as a message may show it: without a password, in the user part or in the
    query string."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        return url
    location, mark, query = rest.partition("?")
    authority, slash, path = location.partition("/")
    if "@" in authority:
        user, host = authority.rsplit("@", 1)
        authority = f"{user.split(':', 1)[0]}@{host}"
    query = "&".join(f"{pair.split('=', 1)[0]}=***" if pair.split("=", 1)[0].lower() == "password" else pair
                     for pair in query.split("&"))
    return f"{scheme}://{authority}{slash}{path}{mark}{query}"


def passwords_in(url: str) -> list[str]:
    """The passwords that a URL holds, as written and decoded, longest first: the text that
    must not appear in any message."""
    found = []
    scheme, sep, rest = url.partition("://")
    location, _, query = rest.partition("?")
    authority = location.partition("/")[0]
    if sep and "@" in authority:
        user = authority.rsplit("@", 1)[0]
        if ":" in user:
            found.append(user.split(":", 1)[1])
    for pair in query.split("&"):
        name, _, value = pair.partition("=")
        if name.lower() == "password":
            found.append(value)
    found += [urllib.parse.unquote(text) for text in found] + [urllib.parse.unquote_plus(text) for text in found]
    return sorted({text for text in found if text}, key=len, reverse=True)


def scrub(text: str, secrets: list[str]) -> str:
    """`text` with every secret replaced by ***."""
    for secret in secrets:
        text = text.replace(secret, "***")
    return text


def _short(text: str) -> str:
    shown = repr(text)
    return shown if len(shown) <= 60 else shown[:57] + "..."


def conflict(collection: str, key: str, expected: int | None, found: int | None) -> ConflictError:
    """The ConflictError for a save or delete that expected `expected` and found `found`."""
    if expected is None:
        message = f"{collection} {key!r} exists already (version {found})"
    elif found is None:
        message = f"{collection} {key!r} was deleted since version {expected}"
    else:
        message = f"{collection} {key!r} changed: expected version {expected}, found {found}"
    return ConflictError(message, collection=collection, key=key, expected=expected, found=found)
