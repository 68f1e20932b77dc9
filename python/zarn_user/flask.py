"""Flask: a decorator per view, with the caller's roles from a function the app registers.

    init_app(app, roles=lambda: session.get("roles"), application="shop")
    @app.get("/invoices")
    @require("invoice", "read")
    def invoices(): ...

401 when the caller has no roles and no user, 403 when its roles do not hold the permission
(the roles looked at only when the app runs in debug). The answer is computed once per
request (kept on `flask.g`). `check(obj, act)` does the same without decorating, for a
blueprint's `before_request` or inside a view; `permissions()` gives the caller's
permissions. Settings not given to `init_app` come from `app.config["ZARN_ROLES"]`
(`{"APP": "shop", "DB": "<url or path>", "CONSISTENCY": "strict"}`).
"""

from __future__ import annotations

import functools
from typing import Any, Callable, TypeVar

try:
    from flask import Flask, abort, current_app, g
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"zarn_user.flask needs Flask (the package's flask extra): pip install 'flask[async]' ({exc})") from None

from zarn_engine import StorageError

from .directory import Directory, Permissions, _roles

__all__ = ["check", "init_app", "permissions", "require"]

F = TypeVar("F", bound=Callable[..., Any])
EXTENSION = "zarn_roles"
_NOTHING = Permissions((), frozenset(), None)


class _State:
    def __init__(self, directory: Directory, roles: Callable[[], Any] | None, user: Callable[[], Any] | None,
                 own: bool) -> None:
        self.directory = directory
        self.roles = roles
        self.user = user
        self.own = own  # made by init_app, so closed by it when replaced


def init_app(app: Flask, roles: Callable[[], Any] | None = None, user: Callable[[], Any] | None = None, *,
             application: str | None = None, db: Any = None, consistency: str | None = None,
             directory: Directory | None = None, cache_size: int = 256) -> Directory:
    """Register where the caller's role names (`roles()`) and user id (`user()`) come from,
    either or both; returns the app's `Directory` (one per app and process)."""
    if roles is None and user is None:
        raise TypeError("init_app needs roles= (a function giving role names) or user= "
                        "(a function giving a user id), or both")
    config = app.config.get("ZARN_ROLES") or {}
    own = directory is None
    if directory is None:
        application = application or config.get("APP")
        if not application:
            raise ValueError("init_app needs application= or app.config['ZARN_ROLES']['APP']: "
                             "the name of the role matrix")
        directory = Directory(application, engine=db if db is not None else config.get("DB"),
                              consistency=consistency or config.get("CONSISTENCY", "strict"),
                              cache_size=cache_size)
    previous = app.extensions.get(EXTENSION)
    app.extensions[EXTENSION] = _State(directory, roles, user, own)
    if previous is not None and previous.own and previous.directory is not directory:
        previous.directory.close()  # its change feeds: init_app called again for the app
    return directory


def _state() -> _State:
    state: _State | None = current_app.extensions.get(EXTENSION)
    if state is None:
        raise RuntimeError("zarn_user.flask.init_app(app, roles=...) was not called for this app")
    return state


def _caller() -> tuple[Permissions, bool, tuple[Any, ...], str | None]:
    """(permissions, anonymous, role names given, user) of this request, computed once."""
    found: tuple[Permissions, bool, tuple[Any, ...], str | None] | None = g.get("_zarn_caller")
    if found is not None:
        return found
    state = _state()
    names = _roles(state.roles()) if state.roles is not None else ()
    user = state.user() if state.user is not None else None
    if user is not None and not isinstance(user, str):
        raise TypeError(f"the user function gives a user id (a string), not {type(user).__name__}")
    user = user or None
    if not names and user is None:
        found = (_NOTHING, True, (), None)
    else:
        try:
            found = (state.directory.permissions(names, user), False, names, user)
        except StorageError as exc:
            current_app.logger.error("roles unavailable: %s", exc)
            abort(503, "permissions are unavailable; try again")
    g._zarn_caller = found
    return found


def permissions() -> Permissions:
    """The permissions of this request's caller (empty without roles or user)."""
    return _caller()[0]


def check(obj: str, act: str) -> None:
    """Abort with 401 without roles or user, 403 when the caller does not hold `act` on `obj`."""
    held, anonymous, names, user = _caller()
    if held.holds(obj, act):
        return
    if anonymous:
        abort(401, "not authenticated: no roles or user")
    reason = f"not allowed: {obj}:{act} is not held"
    if current_app.debug:
        used = set(held.roles)
        ignored = [n for n in dict.fromkeys(names) if n not in used]
        reason += f" (user {user!r}, roles {list(held.roles)}, ignored {ignored}, version {held.version})"
    abort(403, reason)


def require(obj: str, act: str) -> Callable[[F], F]:
    """A view decorator: `check(obj, act)` before the view runs."""
    for what, value in (("object", obj), ("action", act)):
        if not isinstance(value, str) or not value:
            raise ValueError(f"the {what} of a required permission is a non-empty string, not {value!r}")

    def decorate(view: F) -> F:
        @functools.wraps(view)
        def guarded(*args: Any, **kwargs: Any) -> Any:
            check(obj, act)
            return current_app.ensure_sync(view)(*args, **kwargs)

        return guarded  # type: ignore[return-value]

    return decorate
