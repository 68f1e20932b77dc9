"""Answers for servers: what a caller holds, from live documents and their query indexes.

`Directory("shop")` keeps one `Live(RoleMatrix)` and one `Live(UserRoles)` for the process
and answers "what does this caller hold" for a list of role names, a user id, or both. The
web integrations (zarn_user.fastapi, .flask, .django) are thin layers over it.

An answer is a view over the matrix's query index (zarn_user.query), which follows every
change the live document applies: a change empties nothing and rebuilds nothing, and each
question (`holds`) is one search of the index that stops as soon as it knows. Role names
the matrix does not hold hold nothing.
"""

from __future__ import annotations

import os
from typing import Any, Iterable, Iterator

import zarn_engine
from zarn_engine import DoesNotExist, Engine, Live, StorageError

import zarn_user.role_matrix as rm

from . import query
from .core import ops
from .core.users import UserRoles, check_user, holds_pair, stored_roles

__all__ = ["Directory", "Permissions"]


class Permissions:
    """What a caller holds: the roles asked about that the matrix holds (`roles`) and every
    (obj, act) pair they reach (`pairs`), in the matrix version `version`. Read it with
    `holds(obj, act)`, where a granted "*" matches any object or action.

    Made from an index (`index=`), it asks the index each question, and makes `pairs` only
    when they are read; the index is of `version` or a newer version of the matrix."""

    __slots__ = ("roles", "_pairs", "version", "_index")

    def __init__(self, roles: tuple[str, ...], pairs: frozenset[tuple[str, str]] | None, version: int | None,
                 *, index: query.Index | None = None) -> None:
        self.roles = roles
        self._pairs = pairs if pairs is not None or index is not None else frozenset()
        self.version = version
        self._index = index

    @property
    def pairs(self) -> frozenset[tuple[str, str]]:
        if self._pairs is None:
            assert self._index is not None
            self._pairs = frozenset(self._index.permissions(self.roles))
        return self._pairs

    def holds(self, obj: str, act: str) -> bool:
        if self._pairs is None and self._index is not None:
            return bool(self.roles) and self._index.check(self.roles, obj, act)
        return holds_pair(self.pairs, obj, act)

    def holds_any(self, obj: str) -> bool:
        """Whether some action on `obj` (or on "*") is held."""
        if self._pairs is None and self._index is not None:
            return bool(self.roles) and self._index.holds_object(self.roles, obj)
        return any(o == obj or o == "*" for o, _ in self.pairs)

    def __contains__(self, item: object) -> bool:
        if not (isinstance(item, tuple) and len(item) == 2):
            return False
        return self.holds(*item)

    def __iter__(self) -> Iterator[tuple[str, str]]:
        return iter(sorted(self.pairs))

    def __len__(self) -> int:
        return len(self.pairs)

    def __bool__(self) -> bool:
        if self._pairs is None and self._index is not None:
            return bool(self.roles) and bool(self._index.permissions(self.roles))
        return bool(self.pairs)

    def to_display(self) -> dict[str, Any]:
        return {"roles": list(self.roles),
                "permissions": [{"obj": o, "act": a} for o, a in sorted(self.pairs)]}

    def __repr__(self) -> str:
        return f"Permissions(roles={self.roles!r}, version={self.version})"


def _roles(names: Any) -> tuple[Any, ...]:
    if names is None:
        return ()
    if isinstance(names, str):  # one role name, not its letters
        return (names,)
    return tuple(names)


class Directory:
    """The roles and permissions of one application's callers, for a server process.

    `engine`: a store or its URL (default: the process's default store). `consistency`: as
    for `Live` ("strict": every answer reflects every change committed before the call;
    "notify": changes are seen within a second, and `permissions_now` reads nothing).
    `live` / `users_live`: live documents to share instead of making new ones.
    `cache_size` and `cache_pairs` are accepted for callers of earlier versions, which kept
    answers; the query index makes that unnecessary.
    """

    def __init__(self, app: str, *, engine: Engine | str | os.PathLike[str] | None = None,
                 consistency: str = "strict", live: Live[rm.RoleMatrix] | None = None,
                 users_live: Live[UserRoles] | None = None,
                 cache_size: int = 256, cache_pairs: int = 2_000_000) -> None:
        if not isinstance(app, str) or not app:
            raise ValueError(f"an application name is a non-empty string, not {app!r}")
        if type(cache_size) is not int or cache_size < 1:
            raise ValueError(f"cache_size is a number of answers, at least 1, not {cache_size!r}")
        if type(cache_pairs) is not int or cache_pairs < 1:
            raise ValueError(f"cache_pairs is a number of permissions, at least 1, not {cache_pairs!r}")
        if isinstance(engine, (str, os.PathLike)):
            engine = zarn_engine.open_engine(engine)
        self.app = app
        self.cache_size = cache_size
        self.cache_pairs = cache_pairs
        self._own: list[Live[Any]] = []
        if live is None:
            live = Live(rm.RoleMatrix, consistency=consistency, engine=engine)
            self._own.append(live)
        self.live = live
        self.engine = live.engine
        if users_live is None:
            users_live = Live(UserRoles, consistency=live.consistency, engine=self.engine)
            self._own.append(users_live)
        self.users_live = users_live
        self._index: tuple[Any, dict[str, tuple[str, ...]], int | None] | None = None

    # --- the documents --------------------------------------------------------------------

    def matrix(self) -> rm.RoleMatrix:
        """The current role matrix (shared: read it, change it through `live.update`)."""
        try:
            return self.live.get(self.app)
        except DoesNotExist:
            raise DoesNotExist(f"there is no role matrix {self.app!r} in {self.engine!r}") from None

    def assignments(self) -> UserRoles:
        """The current assignments; an empty document is stored on first use (so that later
        calls find it without asking the store), or only made in memory on a read-only one."""
        try:
            return self.users_live.get(self.app)
        except DoesNotExist:
            pass
        try:
            UserRoles.load_or_create(self.app, engine=self.engine)
        except StorageError:
            return UserRoles(app=self.app)
        return self.users_live.get(self.app)

    # --- answers --------------------------------------------------------------------------

    def permissions(self, roles: Iterable[str] | None = None, user: str | None = None) -> Permissions:
        """What a caller with these role names, and the roles assigned to `user`, holds. Reads
        the store as the consistency mode says: call it off an event loop."""
        names = _roles(roles)
        if user is not None:
            names += self._assigned(self.assignments(), user)
        return self._answer(self.matrix(), names)

    def permissions_now(self, roles: Iterable[str] | None = None, user: str | None = None) -> Permissions | None:
        """`permissions(...)` when it can be answered without asking the store or building an
        index (in notify mode while the feed is proven, once the matrix was asked); None
        otherwise."""
        matrix = self.live.peek(self.app)
        if matrix is None:
            return None
        names = _roles(roles)
        if user is not None:
            assignments = self.users_live.peek(self.app)
            if assignments is None:
                return None
            names += self._assigned(assignments, user)
        index = query.ready(matrix)
        if index is None:
            return None
        return self._permissions(matrix, index, names)

    def holds(self, obj: str, act: str, roles: Iterable[str] | None = None, user: str | None = None) -> bool:
        return self.permissions(roles, user).holds(obj, act)

    def roles_of(self, user: str) -> tuple[str, ...]:
        """The roles assigned to `user` (those the matrix no longer holds included)."""
        return self._assigned(self.assignments(), user)

    def _assigned(self, assignments: UserRoles, user: Any) -> tuple[str, ...]:
        index = self._index
        if index is None or index[0] is not assignments or index[2] != assignments.version:
            version = assignments.version  # before the index: an index at least that new
            index = (assignments, assignments.index(), version)
            current = self._index
            if current is None or (assignments.version or 0) >= (current[0].version or 0):
                self._index = index
        return index[1].get(user, ()) if type(user) is str else ()

    def _answer(self, matrix: Any, names: Iterable[Any]) -> Permissions:
        return self._permissions(matrix, query.index(matrix), names)

    @staticmethod
    def _permissions(matrix: Any, index: query.Index, names: Iterable[Any]) -> Permissions:
        roles = tuple(sorted({n for n in names if type(n) is str and index.has(n)}))
        return Permissions(roles, None, matrix.version, index=index)

    # --- changes --------------------------------------------------------------------------

    def assign(self, user: str, *roles: str, allow_superuser: bool = False) -> list[str]:
        """Give `user` roles the matrix holds (KeyError for one it does not); the user's roles.
        A role that would give the user *:* is refused (Superuser) unless `allow_superuser`."""
        check_user(user)
        self.assignments()  # stored, so that update finds it
        written = ops.assign(self.app, user, list(roles), engine=self.engine, allow_superuser=allow_superuser,
                             live=self.users_live, matrix=self.matrix)
        result: list[str] = written.result
        return result

    def unassign(self, user: str, *roles: str) -> list[str]:
        """Take roles from `user`; the user's roles left."""
        self.assignments()
        return self.users_live.update(self.app, lambda doc: doc.unassign(user, roles))

    def close(self) -> None:
        """Leave the change feeds of the live documents this directory made (those it was
        given stay with their owner)."""
        for live in self._own:
            live.close()

    def __enter__(self) -> "Directory":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
