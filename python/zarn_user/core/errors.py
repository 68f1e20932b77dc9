"""The outcomes of the core that are not "done": one exception class per kind, each carrying
the facts as fields, so that a door (the command line, the HTTP API) chooses its exit status
or HTTP status from the class and its fields, never from the text of a message.

`lines` holds every reason (an import lists each bad line); the message is them joined. A
field `summary`, when given, says them in one line (the HTTP API's error, beside `lines`).
"""

from __future__ import annotations

from typing import Any, Iterable


class DoorError(Exception):
    """A change or question the core does not carry out as asked; nothing was written unless
    the class says otherwise. `code` names the kind for machines."""

    code = "error"

    def __init__(self, message: str | Iterable[str], **fields: Any) -> None:
        lines = [message] if isinstance(message, str) else list(message)
        super().__init__("\n".join(lines))
        self.lines: list[str] = lines
        self.fields: dict[str, Any] = fields

    @property
    def message(self) -> str:
        return "\n".join(self.lines)

    def __str__(self) -> str:  # the message as it is, also for the KeyError kinds
        return self.message


class BadInput(DoorError, ValueError):
    """Input refused before anything is written: a name or text that breaks the rules, a
    malformed file line, a missing argument."""

    code = "bad_input"


class NotFound(BadInput, KeyError):
    """An application or a role that is not stored. `what` ("application" or "role") and
    `name` say which. A KeyError too, as a lookup of a missing key is."""

    code = "not_found"

    def __init__(self, message: str, *, what: str, name: str) -> None:
        super().__init__(message, what=what, name=name)
        self.what = what
        self.name = name


class LogGone(BadInput):
    """A question about versions the change log no longer holds whole (pruned, or crossed
    by a whole-document write): the application is to be read as it is now."""

    code = "log_gone"


class Refused(DoorError):
    """A change refused by a rule of the matrix, or a question answered no."""

    code = "refused"


class Cycle(Refused):
    """Sub-roles that would close a cycle; `refused` lists them with their paths."""

    code = "cycle"


class NotDirect(Refused):
    """A revoke, an exclude or an unassign of something held only indirectly, or not at all."""

    code = "not_direct"


class Superuser(Refused):
    """A change that would give roles or users everything (`*:*`) without being asked to:
    `subjects` maps each one to the chain through which it would hold it."""

    code = "superuser"

    def __init__(self, message: str | Iterable[str], *, subjects: dict[str, list[str]]) -> None:
        super().__init__(message, subjects=subjects)
        self.subjects = subjects


class Pattern(Refused):
    """Casbin patterns or conditions that would be stored as literal text (`values` names
    them); allowed with `literal`."""

    code = "pattern"


class Builtin(Refused):
    """Lines of an import that name the built-in roles of the application."""

    code = "builtin"


class Exists(Refused):
    """An application that exists already."""

    code = "exists"


class VersionMismatch(DoorError):
    """The application is not at a version the caller named (If-Match): `expected` holds
    the versions named, `found` the stored one."""

    code = "version"

    def __init__(self, message: str, *, expected: set[int] | None, found: int | None) -> None:
        super().__init__(message, expected=sorted(expected or ()), found=found)
        self.expected = expected
        self.found = found


class Contended(Refused):
    """Other writers kept changing the application through every retry: nothing written.
    `tries` is how many were made, `found` the version last seen."""

    code = "contended"

    def __init__(self, message: str, *, tries: int, found: int | None) -> None:
        super().__init__(message, tries=tries, found=found)
        self.tries = tries
        self.found = found
