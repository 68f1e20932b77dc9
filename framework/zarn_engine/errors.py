"""The errors of the document layer and of its stores."""

from __future__ import annotations


class StorageError(RuntimeError):
    """A store could not do what was asked; nothing was written unless the message says so."""


class ConflictError(StorageError):
    """The stored copy changed since this instance was loaded or last saved; nothing was written."""


class ReadOnlyError(StorageError):
    """The store can be read but not written."""


class ConnectionLost(StorageError):
    """The connection to the store broke; the operation is not known to have succeeded."""


class DoesNotExist(KeyError):
    """No stored document has the requested key."""

    def __str__(self) -> str:  # KeyError would print the repr of the message
        return str(self.args[0]) if self.args else ""


class LoadError(ValueError):
    """A stored document could not be turned back into an instance."""


def conflict(collection: str, key: str, expected: int | None, found: int | None) -> ConflictError:
    """The ConflictError for a save or delete that expected `expected` and found `found`."""
    if expected is None:
        return ConflictError(f"{collection} {key!r} exists already (version {found})")
    if found is None:
        return ConflictError(f"{collection} {key!r} was deleted since version {expected}")
    return ConflictError(f"{collection} {key!r} changed: expected version {expected}, found {found}")
