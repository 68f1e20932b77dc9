"""Where role matrices are kept and how a store named by a location is opened.

The name rules are in text.py; they are checked where a name is created (a new application,
a role that a grant, an inclusion or an import brings into being); any role or application
the store holds can be shown, checked, revoked, exported and deleted, whatever its name.
"""

from __future__ import annotations

import os

from .errors import BadInput, NotFound

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    from zarn_engine import Engine

    from zarn_user.role_matrix import RoleMatrix

DEFAULT_DB = "zarn-roles.sqlite3"
SCHEMES = ("sqlite", "postgresql", "postgres")


class Store:
    """The database named by --db, $ZARN_ROLES_DB or the default file."""

    def __init__(self, location: str | None) -> None:
        if location is not None and not location.strip():
            raise BadInput("--db is empty: give a file path, sqlite:///PATH or postgresql://...")
        self.location = location if location is not None else os.environ.get("ZARN_ROLES_DB") or DEFAULT_DB
        self.engine: Engine | None = None
        self.writing = False  # set once a command begins to change what is stored
        self.committed = False  # set once a change is stored
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
            raise NotFound(f"unknown application {app!r}", what="application",
                           name=app) from None
        self.writing = change
        return matrix

    def close(self) -> None:
        import zarn_engine

        if self.engine is not None:
            self.engine.close()
            zarn_engine.use_engine(None)
            self.engine = None
