"""Answers for servers: what a caller holds, from live documents, cached per version.

`Directory("shop")` keeps one `Live(RoleMatrix)` and one `Live(UserRoles)` for the process
and answers "what does this caller hold" for a list of role names, a user id, or both. The
web integrations (zarn_user.fastapi, .flask, .django) are thin layers over it.

Answers are cached per role set for the matrix version the live document returned (it
brings its instance up to date in place): a new version gets a new, empty cache; so an
answer never comes from an older version than the instance the request got. Role names the matrix does not hold are
dropped before the query (asking the module about them would add them to the shared
matrix). Queries on the shared instance run one at a time: the module leaves locking of a
shared instance to its users.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from operator import attrgetter
from typing import Any, Iterable, Iterator

import zarn_engine
from zarn_engine import DoesNotExist, Engine, Live, StorageError

import zarn_user.role_matrix as rm

from .core import ops
from .core.users import UserRoles, check_user, holds_pair, stored_roles

__all__ = ["Directory", "Permissions"]

_PAIR = attrgetter("obj", "act")  # (obj, act) of a permission record


class Permissions:
    """What a caller holds: the roles asked about that the matrix holds (`roles`) and every
    (obj, act) pair they reach (`pairs`), in the matrix version `version`. Read it with
    `holds(obj, act)`, where a granted "*" matches any object or action."""

    __slots__ = ("roles", "pairs", "version")

    def __init__(self, roles: tuple[str, ...], pairs: frozenset[tuple[str, str]], version: int | None) -> None:
        self.roles = roles
        self.pairs = pairs
        self.version = version

    def holds(self, obj: str, act: str) -> bool:
        return holds_pair(self.pairs, obj, act)

    def holds_any(self, obj: str) -> bool:
        """Whether some action on `obj` (or on "*") is held."""
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
        return bool(self.pairs)

    def to_display(self) -> dict[str, Any]:
        return {"roles": list(self.roles),
                "permissions": [{"obj": o, "act": a} for o, a in sorted(self.pairs)]}

    def __repr__(self) -> str:
        return f"Permissions(roles={self.roles!r}, {len(self.pairs)} pairs, version={self.version})"


class _Answers:
    """The answers for one matrix instance: the roles it holds and an LRU of answers by role
    set."""

    __slots__ = ("matrix", "version", "known", "cache", "size", "pairs", "held", "lock", "empty")

    def __init__(self, matrix: Any, size: int, pairs: int) -> None:
        from zarn_engine.changes import settled

        self.matrix = matrix
        # The roles and the version of one state, also while a change is applied to it.
        self.version, self.known = settled(matrix, lambda: (matrix.version, stored_roles(matrix)))
        self.cache: OrderedDict[frozenset[str], Permissions] = OrderedDict()
        self.size = size  # at most this many answers
        self.pairs = pairs  # holding at most this many pairs together (the latest answer always kept)
        self.held = 0
        self.lock = threading.Lock()
        self.empty = Permissions((), frozenset(), self.version)

    def key(self, names: Iterable[Any]) -> frozenset[str]:
        known = self.known
        return frozenset(n for n in names if type(n) is str and n in known)

    def cached(self, key: frozenset[str]) -> Permissions | None:
        if not key:
            return self.empty
        with self.lock:
            found = self.cache.get(key)
            if found is not None:
                self.cache.move_to_end(key)
            return found

    def keep(self, key: frozenset[str], answer: Permissions) -> None:
        with self.lock:
            old = self.cache.pop(key, None)
            if old is not None:
                self.held -= len(old.pairs)
            self.cache[key] = answer
            self.held += len(answer.pairs)
            while len(self.cache) > self.size or (self.held > self.pairs and len(self.cache) > 1):
                self.held -= len(self.cache.popitem(last=False)[1].pairs)


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
    `live` / `users_live`: live documents to share instead of making new ones. The cache
    keeps at most `cache_size` answers holding at most `cache_pairs` permissions together
    (an answer of a role that reaches 10^5 roles holds some 400,000 of them).
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
        self._lock = threading.Lock()  # installs the answers of a new version
        self._query = threading.Lock()  # one query at a time on the shared matrix
        self._answers: _Answers | None = None
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
        """`permissions(...)` when it can be answered without asking the store or querying
        the matrix (a cached answer, in notify mode while the feed is proven); None otherwise."""
        matrix = self.live.peek(self.app)
        if matrix is None:
            return None
        names = _roles(roles)
        if user is not None:
            assignments = self.users_live.peek(self.app)
            if assignments is None:
                return None
            names += self._assigned(assignments, user)
        answers = self._answers_for(matrix)
        return answers.cached(answers.key(names))

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

    def _answers_for(self, matrix: Any) -> _Answers:
        answers = self._answers
        if answers is not None and answers.matrix is matrix and answers.version == matrix.version:
            return answers
        with self._lock:
            answers = self._answers
            if answers is not None and answers.matrix is matrix and answers.version == matrix.version:
                return answers
            fresh = _Answers(matrix, self.cache_size, self.cache_pairs)
            # An instance older than the one installed (a request that read before another
            # one's reload) is answered from a cache of its own, never installed.
            if answers is None or (fresh.version or 0) >= (answers.version or 0):
                self._answers = fresh
            return fresh

    def _answer(self, matrix: Any, names: Iterable[Any]) -> Permissions:
        answers = self._answers_for(matrix)
        key = answers.key(names)
        found = answers.cached(key)
        if found is not None:
            return found
        with self._query:
            found = answers.cached(key)
            if found is not None:
                return found
            content = matrix.get_implicit_permissions_for_roles(sorted(key))
            found = Permissions(tuple(sorted(key)), frozenset(map(_PAIR, content.permissions)), answers.version)
        answers.keep(key, found)
        return found

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
