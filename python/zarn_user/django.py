"""Django: an authentication backend whose permissions come from the role matrix.

    AUTHENTICATION_BACKENDS = ["django.contrib.auth.backends.ModelBackend",
                               "zarn_user.django.RoleMatrixBackend"]
    ZARN_ROLES = {"APP": "shop", "DB": "/var/lib/shop/roles.sqlite3"}

`user.has_perm("invoice.read")` is true when the user's roles hold `read` on `invoice`; its
roles are the names of its Django groups and the roles assigned to its `get_username()` in
the assignment store. `permission_required`, `PermissionRequiredMixin` and
`{{ perms.invoice.read }}` work unchanged. As with Django's own backend: inactive and
anonymous users hold nothing, an active superuser holds everything (Django's user model
answers that before asking any backend), and the answer is kept on the user object for the
rest of the request. Optional settings: "CONSISTENCY" ("strict" or "notify"), "CACHE_SIZE".
"""

from __future__ import annotations

import threading
from typing import Any

# Django ships no types (they are a separate distribution): its names are Any here.
try:
    from django.conf import settings  # type: ignore[import-untyped]
    from django.contrib.auth.backends import BaseBackend  # type: ignore[import-untyped]
    from django.core.exceptions import ImproperlyConfigured  # type: ignore[import-untyped]
    from django.core.signals import setting_changed  # type: ignore[import-untyped]
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"zarn_user.django needs Django (the package's django extra): pip install django ({exc})") from None

from .directory import Directory, Permissions

__all__ = ["RoleMatrixBackend", "directory"]

_NOTHING = Permissions((), frozenset(), None)
_lock = threading.Lock()
_directories: dict[tuple[Any, ...], Directory] = {}


def directory() -> Directory:
    """The process's directory for the ZARN_ROLES setting (Django makes a backend object per
    use; the live documents are kept here, one set per setting)."""
    conf = getattr(settings, "ZARN_ROLES", None)
    if not isinstance(conf, dict) or not conf.get("APP"):
        raise ImproperlyConfigured('RoleMatrixBackend needs ZARN_ROLES = {"APP": "<application>", '
                                   '"DB": "<url or path>"} in settings')
    db = conf.get("DB")
    key = (conf["APP"], str(db) if db is not None else None, conf.get("CONSISTENCY", "strict"),
           conf.get("CACHE_SIZE", 256))
    found = _directories.get(key)
    if found is None:
        with _lock:
            found = _directories.get(key)
            if found is None:
                found = _directories[key] = Directory(key[0], engine=db, consistency=key[2], cache_size=key[3])
    return found


def _reset(*, setting: str, **kwargs: Any) -> None:
    if setting == "ZARN_ROLES":  # override_settings in tests: the next use opens the new store
        with _lock:
            for d in _directories.values():
                d.close()
            _directories.clear()


setting_changed.connect(_reset)


class RoleMatrixBackend(BaseBackend):  # type: ignore[misc]  # BaseBackend is untyped
    """Permissions "OBJ.ACT" from the role matrix; authenticates nobody (pair it with a
    backend that does)."""

    def _group_names(self, user_obj: Any) -> tuple[str, ...]:
        names = getattr(user_obj, "_zarn_group_names", None)
        if names is None:
            groups = getattr(user_obj, "groups", None)
            names = tuple(groups.values_list("name", flat=True)) if groups is not None else ()
            user_obj._zarn_group_names = names
        return names

    def _held(self, user_obj: Any, part: str = "all") -> Permissions:
        if not user_obj.is_active or user_obj.is_anonymous:
            return _NOTHING
        attr = f"_zarn_permissions_{part}"
        found = getattr(user_obj, attr, None)
        if found is None:
            roles = self._group_names(user_obj) if part != "user" else ()
            user = user_obj.get_username() if part != "group" else None
            found = directory().permissions(roles, user)
            setattr(user_obj, attr, found)
        return found

    def has_perm(self, user_obj: Any, perm: str, obj: Any = None) -> bool:
        if obj is not None or not isinstance(perm, str):
            return False
        target, dot, act = perm.partition(".")  # as the template's perms.OBJ.ACT asks
        if not (target and dot and act):
            return False
        return self._held(user_obj).holds(target, act)

    def has_module_perms(self, user_obj: Any, app_label: str) -> bool:
        return self._held(user_obj).holds_any(app_label)

    def _names(self, user_obj: Any, obj: Any, part: str) -> set[str]:
        if obj is not None or not user_obj.is_active or user_obj.is_anonymous:
            return set()
        if getattr(user_obj, "is_superuser", False) and part == "all":
            # As Django's own backend: a superuser has every permission there is.
            return {f"{p.obj}.{p.act}" for p in directory().matrix().policies}
        return {f"{o}.{a}" for o, a in self._held(user_obj, part).pairs}

    def get_all_permissions(self, user_obj: Any, obj: Any = None) -> set[str]:
        return self._names(user_obj, obj, "all")

    def get_group_permissions(self, user_obj: Any, obj: Any = None) -> set[str]:
        return self._names(user_obj, obj, "group")

    def get_user_permissions(self, user_obj: Any, obj: Any = None) -> set[str]:
        return self._names(user_obj, obj, "user")
