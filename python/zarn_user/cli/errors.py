"""The command line's error boundary: every exception that ends a command becomes one exit
status and one message, here and nowhere else. The status comes from the exception's class
and fields (the core's outcomes, the store's error classes), never from its text."""

from __future__ import annotations

from ..core.errors import BadInput, DoorError, Refused, VersionMismatch

__all__ = ["BadInput", "Refused", "outcome", "EXIT_STATUSES"]

DONE = 0
REFUSED = 1  # refused, or (check, why) not held; nothing written unless the message says what was
BAD_INPUT = 2  # nothing written
STORE_FAILED = 3  # the store failed (locked, full, read-only, unreachable); nothing written
UNKNOWN = 4  # the connection broke while a change was being saved: it may or may not be stored
INTERNAL = 5  # a fault of zarn-roles itself
UNREPORTED = 6  # the change is stored, but its report could not be written (a full disk, a closed terminal)
INTERRUPTED = 130

EXIT_STATUSES = """\
exit status:
    0  done (check, why: the role holds the permission)
    1  refused (a cycle, a path to *:* not asked for, a Casbin pattern, not granted directly,
       other writers kept changing it); check, why: not held
    2  bad input: nothing written
    3  the store failed (locked, full, read-only, unreachable): nothing written
    4  the connection to the store broke while saving, or an undo failed: the message says
       what may be stored; look before running it again
    5  internal error of zarn-roles
    6  the change is stored, but its report could not be written
  130  interrupted before anything was stored"""


Outcome = tuple[int, str]  # exit status, message


def _detail(exc: BaseException) -> str:
    """The store's own words, without a closing remark the status already makes."""
    text = str(exc).strip()
    for said in ("; nothing was written", ": nothing was written", "; nothing written"):
        if text.endswith(said):
            return text[: -len(said)]
    return text


def outcome(exc: BaseException, writing: bool) -> Outcome:
    """The exit status and message for an exception that ended a command; `writing` tells
    whether the command had begun to save."""
    if isinstance(exc, BadInput):
        return BAD_INPUT, exc.message
    if isinstance(exc, (Refused, VersionMismatch)):
        return REFUSED, exc.message
    if isinstance(exc, DoorError):
        return REFUSED, exc.message
    if isinstance(exc, KeyboardInterrupt):
        return INTERRUPTED, "interrupted: nothing written" if writing else "interrupted"
    try:
        from zarn_engine import (ConfigurationError, ConflictError, ConnectionLost, DoesNotExist, InvalidKey,
                                 LoadError, StorageError)
        from zarn_fields import ValidationError
    except ImportError:
        return _internal(exc)
    if isinstance(exc, (ValidationError, ConfigurationError, InvalidKey)):  # a bad --db, a bad name
        return BAD_INPUT, _detail(exc)
    if isinstance(exc, DoesNotExist):
        return BAD_INPUT, f"not found: {exc}"
    if isinstance(exc, ConflictError):
        return REFUSED, f"not saved, other writers kept coming first ({_detail(exc)}); nothing written"
    if isinstance(exc, ConnectionLost):
        if writing:
            return UNKNOWN, (f"the connection to the store broke while saving ({_strip_unknown(exc)}): the change "
                             "may or may not be stored; look before running it again")
        return STORE_FAILED, f"{_detail(exc)}; nothing written"
    if isinstance(exc, StorageError):  # locked, full, read-only, unreachable, and any newer kind
        return STORE_FAILED, f"{_detail(exc)}; nothing written"
    if isinstance(exc, LoadError):
        return STORE_FAILED, f"a stored document cannot be read: {exc}"
    return _internal(exc)


def _strip_unknown(exc: BaseException) -> str:
    text = _detail(exc)
    for said in (": the change may or may not have been stored", "; the change may or may not have been stored",
                 ": the change may or may not be stored"):
        text = text.replace(said, "")
    return text


def _internal(exc: BaseException) -> Outcome:
    """A fault of zarn-roles: one line that says where, for a report."""
    where = ""
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    if tb is not None:
        where = f" at {tb.tb_frame.f_code.co_filename.rsplit('/', 1)[-1]}:{tb.tb_lineno}"
    return INTERNAL, f"internal error{where}: {type(exc).__name__}: {exc} (please report it)"
