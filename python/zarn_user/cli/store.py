"""Where role matrices are kept, how they are opened, and the names the tool accepts."""

from __future__ import annotations

import os
import re

DEFAULT_DB = "zarn-roles.sqlite3"
ROLE_NAME = re.compile(r"^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$")
APP_NAME = re.compile(r"^(?=[A-Za-z0-9])(?!.*--)[A-Za-z0-9-]{1,18}[A-Za-z0-9]$")
ROLE_RULE = "2 to 19 letters, digits and single underscores, starting and ending with a letter or digit"
APP_RULE = "2 to 19 letters, digits and single hyphens, starting and ending with a letter or digit"


class BadInput(Exception):
    """Refused input: one line on standard error, exit status 2, nothing written."""


class Refused(Exception):
    """A change was refused, or a question answered no: exit status 1."""


def check_app(name: str) -> str:
    if not APP_NAME.search(name):
        raise BadInput(f"invalid application name {name!r}: {APP_RULE}")
    return name


def role_error(name: str) -> str | None:
    """Why `name` is no valid role name, or None."""
    if ROLE_NAME.search(name):
        return None
    hint = ""
    if "@" in name or name.isdigit() or "-" in name:
        hint = " (a user, an email or an id is no role here: give users roles in your application)"
    return f"invalid role name {name!r}: {ROLE_RULE}{hint}"


def check_role(name: str) -> str:
    error = role_error(name)
    if error:
        raise BadInput(error)
    return name


def value_error(what: str, value: str) -> str | None:
    """Why an object or action is refused, or None: non-empty, no surrounding white space,
    no control characters (so that it survives every interchange format)."""
    if not value:
        return f"empty {what}"
    if value != value.strip() or any(ord(c) < 32 or c == "\x7f" for c in value):
        return f"invalid {what} {value!r}: no surrounding white space or control characters"
    return None


def check_value(what: str, value: str) -> str:
    error = value_error(what, value)
    if error:
        raise BadInput(error)
    return value


class Store:
    """The database named by --db, $ZARN_ROLES_DB or the default file."""

    def __init__(self, location: str | None) -> None:
        self.location = location or os.environ.get("ZARN_ROLES_DB") or DEFAULT_DB
        self.is_file = "://" not in self.location and self.location != "memory:"
        self.engine = None

    def open(self, create: bool) -> bool:
        """Connects; without `create`, a database file that does not exist is left missing
        (False)."""
        import zarn_engine
        from zarn_engine import StorageError

        if self.engine is not None:
            return True
        if self.is_file and not create and not os.path.exists(self.location):
            return False
        try:
            self.engine = zarn_engine.connect(self.location)
        except StorageError as exc:
            raise BadInput(str(exc)) from None
        return True

    def load(self, app: str):
        """The application's role matrix; BadInput when there is none."""
        from zarn_engine import DoesNotExist, LoadError

        import zarn_user.role_matrix as rm

        check_app(app)
        if not self.open(create=False):
            raise BadInput(f"unknown application {app!r}: there is no database at {self.location}")
        try:
            return rm.RoleMatrix.load(app)
        except DoesNotExist:
            raise BadInput(f"unknown application {app!r} (see: zarn-roles list)") from None
        except LoadError as exc:
            raise BadInput(str(exc)) from None

    def close(self) -> None:
        import zarn_engine

        if self.engine is not None:
            self.engine.close()
            zarn_engine.use_engine(None)
            self.engine = None


def save(matrix) -> None:
    """Save, turning a refused value into BadInput."""
    from zarn_fields import ValidationError

    try:
        matrix.save()
    except ValidationError as exc:
        raise BadInput(str(exc)) from None
