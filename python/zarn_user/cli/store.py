"""Where role matrices are kept, how they are opened, and the names the tool creates.

Name rules are the module's own field declarations: a role name follows the pattern that
`Group` declares for its roles, an application name the one `RoleMatrix` declares for its
name. They are checked where the command line creates a name (a new application, a role
that a grant, an inclusion or an import brings into being); any role or application the
store holds can be shown, checked, revoked, exported and deleted, whatever its name.
"""

from __future__ import annotations

import os
from functools import cache

from .errors import BadInput

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import re

    from zarn_engine import Engine

    from zarn_user.role_matrix import RoleMatrix

DEFAULT_DB = "zarn-roles.sqlite3"
SCHEMES = ("sqlite", "postgresql", "postgres")
ROLE_RULE = "2 to 19 letters, digits and single underscores, starting and ending with a letter or digit"
APP_RULE = "2 to 19 letters, digits and single hyphens, starting and ending with a letter or digit"


@cache
def role_pattern() -> re.Pattern[str]:
    """The role-name pattern of the module's declarations (`Group.child`)."""
    import re

    import zarn_user.role_matrix as rm

    return re.compile(getattr(rm.Group, "_fields")["child"].regex)


@cache
def app_pattern() -> re.Pattern[str]:
    """The application-name pattern of the module's declarations (`RoleMatrix.name`)."""
    import re

    import zarn_user.role_matrix as rm

    return re.compile(rm.RoleMatrix.name.regex)  # type: ignore[attr-defined]


def check_new_app(name: str) -> str:
    if not app_pattern().fullmatch(name):
        raise BadInput(f"invalid application name {name!r}: {APP_RULE}")
    return name


def role_error(name: str) -> str | None:
    """Why `name` cannot be a new role, or None."""
    if role_pattern().fullmatch(name):
        return None
    hint = ""
    if "@" in name or name.isdigit() or "-" in name or ":" in name:
        hint = " (a user, an e-mail or an id is no role here: give users their roles in your application)"
    return f"invalid role name {name!r}: {ROLE_RULE}{hint}"


def check_new_role(name: str) -> str:
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
        self.engine: Engine | None = None
        self.writing = False  # set once a command begins to change what is stored
        scheme = self.location.split("://", 1)[0] if "://" in self.location else None
        if self.location.startswith("sqlite:") and not self.location.startswith("sqlite:///"):
            raise BadInput(f"a SQLite URL is sqlite:///PATH (sqlite:////PATH for an absolute path), "
                           f"not {self.location!r}")
        if scheme is not None and scheme not in SCHEMES:
            raise BadInput(f"unknown store {scheme}:// in {self.location!r}: give a file path, "
                           "sqlite:///PATH or postgresql://...")
        self.path: str | None = None  # the SQLite file, when the store is one
        if scheme == "sqlite":
            self.path = self.location[len("sqlite:///"):].split("?", 1)[0]
        elif scheme is None and self.location != "memory:":
            self.path = self.location

    def exists(self) -> bool:
        """False for a SQLite file that does not exist; True for any other store."""
        return self.path is None or os.path.exists(self.path)

    def open(self, create: bool) -> None:
        """Connects. A SQLite file that does not exist is created only for a command that
        creates (`create`); for any other it is bad input, and nothing is created."""
        import zarn_engine

        if self.engine is not None:
            return
        if not create and not self.exists():
            raise BadInput(f"there is no database at {self.path} (zarn-roles init APP creates one; "
                           "--db or $ZARN_ROLES_DB name another)")
        if self.path is not None and create:
            folder = os.path.dirname(os.path.abspath(self.path))
            if not os.path.isdir(folder):
                raise BadInput(f"cannot create the database {self.path}: folder {folder} does not exist")
        self.engine = zarn_engine.connect(self.location)

    def load(self, app: str, change: bool = False) -> RoleMatrix:
        """The application's role matrix; BadInput when there is none. `change`: the command
        goes on to change it (from here on a lost connection leaves the outcome unknown)."""
        from zarn_engine import DoesNotExist

        import zarn_user.role_matrix as rm

        self.open(create=False)
        try:
            matrix = rm.RoleMatrix.load(app)
        except DoesNotExist:
            raise BadInput(f"unknown application {app!r} (see: zarn-roles list)") from None
        self.writing = change
        return matrix

    def close(self) -> None:
        import zarn_engine

        if self.engine is not None:
            self.engine.close()
            zarn_engine.use_engine(None)
            self.engine = None
