"""The users of an application as the command line reads them, and their assignments when the
application is deleted (imports and exports of users are the core's: core/transfer.py)."""

from __future__ import annotations

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    from zarn_user.core.users import UserRoles


def assignments(app: str) -> UserRoles:
    """The stored assignments of `app`, or a new empty document (not saved)."""
    from zarn_engine import DoesNotExist

    from zarn_user.core.users import UserRoles

    try:
        return UserRoles.load(app)
    except DoesNotExist:
        return UserRoles(app=app)


def forget(app: str) -> None:
    """Delete the assignments of a deleted application, so that a new one of the same name
    starts without users."""
    from zarn_user.core.users import UserRoles

    UserRoles.delete(app)
