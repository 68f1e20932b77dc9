"""The command line's error boundary: every exception that ends a command becomes one exit
status and one message, here and nowhere else."""

from __future__ import annotations

DONE = 0
REFUSED = 1  # refused, or (check) not held; nothing written unless the message says what was
BAD_INPUT = 2  # nothing written
STORE_FAILED = 3  # the store failed (locked, full, read-only, unreachable); nothing written
UNKNOWN = 4  # the connection broke while a change was being saved: it may or may not be stored
INTERNAL = 5  # a fault of zarn-roles itself
INTERRUPTED = 130

EXIT_STATUSES = """\
exit status:
    0  done (check: the role holds the permission)
    1  refused (a cycle, not held, not granted directly, changed meanwhile); check: not held
    2  bad input: nothing written
    3  the store failed (locked, full, read-only, unreachable): nothing written
    4  the connection to the store broke while saving: the change may or may not be stored
    5  internal error of zarn-roles
  130  interrupted"""


class BadInput(Exception):
    """Input the command refuses before writing anything: exit status 2."""


class Refused(Exception):
    """A change refused, or a question answered no: exit status 1. Empty when the answer
    on standard output says it all."""


Outcome = tuple[int, str]  # exit status, message


def outcome(exc: BaseException, writing: bool) -> Outcome:
    """The exit status and message for an exception that ended a command; `writing` tells
    whether the command had begun to save."""
    if isinstance(exc, BadInput):
        return BAD_INPUT, str(exc)
    if isinstance(exc, Refused):
        return REFUSED, str(exc)
    if isinstance(exc, KeyboardInterrupt):
        return INTERRUPTED, "interrupted"
    try:
        from zarn_engine import (ConfigurationError, ConflictError, ConnectionLost, DoesNotExist, InvalidKey,
                                 LoadError, StorageError)
        from zarn_fields import ValidationError
    except ImportError:
        return _internal(exc)
    if isinstance(exc, (ValidationError, ConfigurationError, InvalidKey)):  # a bad --db, a bad name
        return BAD_INPUT, str(exc)
    if isinstance(exc, DoesNotExist):
        return BAD_INPUT, f"not found: {exc}"
    if isinstance(exc, ConflictError):
        return REFUSED, f"not saved, another writer came first: {exc}; nothing written, run the command again"
    if isinstance(exc, ConnectionLost):
        if writing:
            return UNKNOWN, f"{exc}; the change may or may not be stored: look before running it again"
        return STORE_FAILED, f"{exc}; nothing written"
    if isinstance(exc, StorageError):  # locked, full, read-only, unreachable, and any newer kind
        text = str(exc)
        return STORE_FAILED, text if "nothing was written" in text else f"{text}; nothing written"
    if isinstance(exc, LoadError):
        return STORE_FAILED, f"a stored document cannot be read: {exc}"
    return _internal(exc)


def _internal(exc: BaseException) -> Outcome:
    """A fault of zarn-roles: one line that says where, for a report."""
    where = ""
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    if tb is not None:
        where = f" at {tb.tb_frame.f_code.co_filename.rsplit('/', 1)[-1]}:{tb.tb_lineno}"
    return INTERNAL, f"internal error{where}: {type(exc).__name__}: {exc} (please report it)"
