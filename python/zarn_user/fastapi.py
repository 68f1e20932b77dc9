"""FastAPI: a guard per application, used as a dependency on a route or a router.

    guard = RoleGuard("shop", roles=current_roles)        # or user=current_user_id
    @app.get("/invoices", dependencies=[Depends(guard.require("invoice", "read"))])

`require` answers 401 when the caller has no roles and no user, 403 when its roles do not
hold the permission (the roles looked at only when the app runs in debug), and nothing
when they do. The caller's answer is computed once per request however many `require`s the
route and its routers add (kept in the request's scope; the roles and user dependencies are
FastAPI's, resolved once per request as any shared dependency). `Depends(guard.permissions)`
gives the caller's permissions for the page to use, `Depends(guard.caller)` who asked.

The event loop never waits on the store: a cached answer that needs no store read is given
in place (notify mode while its feed is proven); anything else runs in the thread pool.
"""

from __future__ import annotations

import inspect
import logging
from typing import TYPE_CHECKING, Any, Callable

try:
    from fastapi import Depends, HTTPException, Request
    from starlette.concurrency import run_in_threadpool
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"zarn_user.fastapi needs FastAPI (the package's fastapi extra): pip install fastapi ({exc})") from None

from zarn_engine import StorageError

from .directory import Directory, Permissions, _roles

if TYPE_CHECKING:
    from zarn_engine import Live

    from .role_matrix import RoleMatrix

__all__ = ["Caller", "RoleGuard"]

log = logging.getLogger("zarn_user.fastapi")

_NOTHING = Permissions((), frozenset(), None)


class Caller:
    """Who asked (`user`, the role names given, `asked`) and what it holds (`permissions`);
    `anonymous` when there were neither roles nor a user."""

    __slots__ = ("user", "asked", "permissions", "anonymous")

    def __init__(self, user: str | None, asked: tuple[Any, ...], permissions: Permissions, anonymous: bool) -> None:
        self.user = user
        self.asked = asked
        self.permissions = permissions
        self.anonymous = anonymous


def _check_name(what: str, value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"the {what} of a required permission is a non-empty string, not {value!r}")
    return value


class RoleGuard:
    """The permission checks of one application (`app`, the name of its role matrix).

    `roles`: a FastAPI dependency giving the caller's role names; `user`: one giving its user
    id, whose roles are read from the assignment store. Either or both. `engine` (a store or
    its URL), `consistency`, `live`, `users_live` and `cache_size` are those of `Directory`;
    `directory` shares one instead (two guards of one application, say one by roles and one
    by user, then keep one live matrix and one cache: `RoleGuard(..., directory=g.directory)`).
    """

    def __init__(self, app: str, *, roles: Callable[..., Any] | None = None,
                 user: Callable[..., Any] | None = None, engine: Any = None, consistency: str = "strict",
                 live: Any = None, users_live: Any = None, cache_size: int = 256,
                 directory: Directory | None = None) -> None:
        if roles is None and user is None:
            raise TypeError("RoleGuard needs roles= (a dependency giving role names) or user= "
                            "(a dependency giving a user id), or both")
        for name, dep in (("roles", roles), ("user", user)):
            if dep is not None and not callable(dep):
                raise TypeError(f"{name}= is a FastAPI dependency (a callable), not {dep!r}")
        self._own = directory is None
        self.directory = directory if directory is not None else Directory(
            app, engine=engine, consistency=consistency, live=live, users_live=users_live, cache_size=cache_size)
        self._roles_dep = roles
        self._user_dep = user

        async def caller(request: Request, roles: Any = None, user: Any = None) -> Caller:
            return await self._caller(request, roles, user)

        async def permissions(request: Request, roles: Any = None, user: Any = None) -> Permissions:
            return (await self._caller(request, roles, user)).permissions

        # Dependencies giving the caller (`Caller`) and its `Permissions` (empty without
        # roles or user).
        self.caller = self._takes_sources(caller, Caller)
        self.permissions = self._takes_sources(permissions, Permissions)

    @property
    def live(self) -> Live[RoleMatrix]:
        """The live role matrix of the process."""
        return self.directory.live

    @property
    def app(self) -> str:
        return self.directory.app

    def _takes_sources(self, fn: Callable[..., Any], returns: Any) -> Callable[..., Any]:
        """`fn` with the roles and user dependencies given as its parameters: FastAPI resolves
        each once per request, whoever else depends on it."""
        params = [inspect.Parameter("request", inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=Request)]
        params += [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=Depends(dep))
                   for name, dep in (("roles", self._roles_dep), ("user", self._user_dep)) if dep is not None]
        fn.__signature__ = inspect.Signature(params, return_annotation=returns)  # type: ignore[attr-defined]
        return fn

    async def _caller(self, request: Request, roles: Any, user: Any) -> Caller:
        """The caller of this request, computed on first use and kept in the request's scope
        (one dependency layer less per check than a shared dependency would cost)."""
        kept = request.scope.setdefault("zarn_user.callers", {})
        found: Caller | None = kept.get(self)
        if found is not None:
            return found
        names = _roles(roles)
        if user is not None and not isinstance(user, str):
            raise TypeError(f"the user dependency gives a user id (a string), not {type(user).__name__}")
        if not user:
            user = None
        if not names and user is None:
            found = Caller(None, (), _NOTHING, True)
        else:
            directory = self.directory
            permissions = directory.permissions_now(names, user)
            if permissions is None:
                try:
                    permissions = await run_in_threadpool(directory.permissions, names, user)
                except StorageError as exc:
                    log.error("roles of %r unavailable: %s", directory.app, exc)
                    raise HTTPException(503, "permissions are unavailable; try again") from None
            found = Caller(user, names, permissions, False)
        kept[self] = found
        return found

    def require(self, obj: str, act: str) -> Callable[..., Any]:
        """A dependency refusing callers that do not hold `act` on `obj`: 401 without roles
        or user, 403 without the permission."""
        _check_name("object", obj)
        _check_name("action", act)
        resolve = self._caller

        async def require(request: Request, roles: Any = None, user: Any = None) -> None:
            who = await resolve(request, roles, user)
            if who.permissions.holds(obj, act):
                return
            if who.anonymous:
                raise HTTPException(401, "not authenticated: no roles or user")
            detail: Any = f"not allowed: {obj}:{act} is not held"
            if request.app.debug:
                used = set(who.permissions.roles)
                detail = {"reason": detail, "user": who.user, "roles": list(who.permissions.roles),
                          "ignored": [n for n in dict.fromkeys(who.asked) if n not in used],
                          "version": who.permissions.version}
            raise HTTPException(403, detail)

        require.__name__ = require.__qualname__ = f"require_{obj}_{act}"
        return self._takes_sources(require, None)

    def close(self) -> None:
        """Close the directory this guard made (one it was given stays with its owner)."""
        if self._own:
            self.directory.close()
