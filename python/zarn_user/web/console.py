"""What the console does, without HTTP: reads through live documents (notify mode, so a
change made by any process shows without a restart) and writes through `Live.update`, on a
fresh copy, with the version check of `If-Match`.

Every change goes through the core (zarn_user.core.ops, .transfer), which decides it on the
stored copy and saves it with its version check. Methods raise ApiError for what the caller
asked wrongly of HTTP, and let the core's outcomes (core/errors.py) through; the HTTP layer
turns each into a status and one JSON error.
"""

from __future__ import annotations

import re
import threading
from typing import TYPE_CHECKING, Any, Callable, Mapping

from ..core import assertions, ops, transfer
from ..core.holders import Holding
from ..core.text import app_error, check_text, role_error
from .snapshot import Snapshot

Json = dict[str, Any]  # a JSON object: a request's body, an answer


class ApiError(Exception):
    """A request that cannot be answered as asked: an HTTP status, one line, and extras."""

    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None, **extra: Any) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or {}
        self.extra = extra


def bad(message: str, **extra: Any) -> ApiError:
    return ApiError(400, message, **extra)


# --- validation of request values ---------------------------------------------------------


def text_field(data: Json, key: str, what: str) -> str:
    value = data.get(key)
    if not isinstance(value, str):
        raise bad(f"{key!r} must be a string" if key in data else f"missing {key!r}")
    return check_text(what, value)  # in NFC form, as every door takes text


def role_name(value: Any, key: str = "role") -> str:
    if not isinstance(value, str):
        raise bad(f"{key!r} must be a role name (a string)")
    error = role_error(value)
    if error:
        raise bad(error)
    return value


def role_list(data: Json, key: str = "roles", empty: bool = False) -> list[str]:
    value = data.get(key)
    if not isinstance(value, list) or (not value and not empty):
        raise bad(f"{key!r} must be a {'' if empty else 'non-empty '}list of role names")
    return [role_name(v, key) for v in value]


def flag(value: str | None, name: str = "flag") -> bool:
    """A query flag: absent, true or false (1 or 0)."""
    if value is None or value in ("false", "0"):
        return False
    if value in ("true", "1"):
        return True
    raise bad(f"{name} is true or false (1 or 0), not {value[:40]!r}")


def flags(request: Any, data: dict[str, Any], name: str) -> bool:
    """A write's option: `name=true` in the query, or `"name": true` in the body."""
    value = data.get(name)
    if value is not None and not isinstance(value, bool):
        raise bad(f"{name!r} must be true or false")
    return bool(value) or flag(request.query_params.get(name), name)


def as_object(data: Any, what: str = "the body") -> Json:
    if not isinstance(data, dict):
        raise bad(f"{what} must be a JSON object")
    return data


class Console:
    """The live role matrices of one store, and the operations of the API on them."""

    def __init__(self, engine: Any, token: str | Mapping[str, str] | None, version_wait: float | None = None) -> None:
        import zarn_engine

        import zarn_user.role_matrix as rm

        self.rm = rm
        self.engine = engine
        self.token = token
        wait = zarn_engine.live.VERSION_WAIT if version_wait is None else version_wait
        self.live = zarn_engine.Live(rm.RoleMatrix, consistency="notify", engine=engine, version_wait=wait)
        self._snapshots: dict[str, Snapshot] = {}
        self._floor: dict[str, int] = {}  # app -> the version our last write made
        self._lock = threading.Lock()

    def close(self) -> None:
        self.live.close()

    # --- reading -------------------------------------------------------------------------

    def apps(self) -> list[str]:
        return self.rm.RoleMatrix.keys(engine=self.engine)

    def snapshot(self, app: str, at_least: int | None = None) -> Snapshot:
        """The indexed current version of `app` (404 when there is none), read through the
        live documents; it may read the store, so it runs in a worker thread. `at_least`: a
        version the answer must be of or after (503 when the store does not reach it within
        the live documents' wait)."""
        from zarn_engine import DoesNotExist, VersionNotReached

        if app_error(app):
            raise ApiError(404, f"unknown application {app!r}")
        try:
            doc = self.live.get(app, at_least=at_least)
            if (doc.version or 0) < self._floor.get(app, 0):
                doc = self.live.get(app)  # began before a write of ours was installed
        except DoesNotExist:
            with self._lock:
                self._snapshots.pop(app, None)
            raise ApiError(404, f"unknown application {app!r}") from None
        except VersionNotReached:
            raise not_reached(f"application {app!r}", at_least or 0, self.live.version_wait) from None
        snap = self._snapshots.get(app)
        # An instance is brought up to date in place: a snapshot is of one version of it.
        if snap is None or snap.matrix is not doc or snap.version != doc.version:
            snap = Snapshot(doc)
        with self._lock:
            current = self._snapshots.get(app)
            if current is None or (current.version or 0) <= (snap.version or 0):
                self._snapshots[app] = snap
        return snap

    def recent(self, app: str, at_least: int | None = None) -> Snapshot | None:
        """The snapshot of the instance the live documents would answer with without reading
        the store (their feed proved within the last second that nothing newer was committed),
        or None; None too when it is older than `at_least`. Reads nothing, so a check can be
        answered on the event loop; the refresher builds the snapshot of each new instance
        in a worker thread."""
        doc = self.live.peek(app)
        snap = self._snapshots.get(app)
        if (doc is not None and snap is not None and snap.matrix is doc and snap.version == doc.version
                and (doc.version or 0) >= max(self._floor.get(app, 0), at_least or 0)):
            return snap
        return None

    def refresh(self) -> None:
        """Read again every application asked about lately (the refresher's job)."""
        for app in list(self._snapshots):
            try:
                self.snapshot(app)
            except Exception:  # noqa: BLE001 - a request for the application reports it
                pass

    def known_role(self, snap: Snapshot, role: str) -> str:
        role_name(role)
        if role not in snap.role_set:
            raise ApiError(404, f"unknown role {role!r} in application {snap.name!r}")
        return role

    def check(self, snap: Snapshot, data: Json) -> Json:
        data = as_object(data, "a check")
        roles = role_list(data)
        obj = text_field(data, "obj", "object")
        act = text_field(data, "act", "action")
        explain = data.get("explain", False)
        if not isinstance(explain, bool):
            raise bad("'explain' must be true or false")
        unknown = [r for r in dict.fromkeys(roles) if r not in snap.role_set]
        held = snap.holding(roles, obj, act)
        out: dict[str, Any] = {
            "allowed": held is not None,
            "path": held.path if held else [],
            "granted": {"obj": held.granted[0], "act": held.granted[1]} if held else None,
        }
        if unknown:
            out["unknown"] = unknown
        if explain:
            out["explanation"] = (held.explain(obj, act) if held
                                  else f"{', '.join(roles)} {'does' if len(roles) == 1 else 'do'} not hold {obj}:{act}")
        return out

    def who(self, snap: Snapshot, obj: str, act: str, limit: int,
            position: int | None = None) -> tuple[list[Json], int | None, int]:
        """The roles holding (obj, act) in the order of the matrix's index, at most `limit`
        from `position` on: (the holders, the position of the next one or None, how many)."""
        found, following, total = snap.who_page(obj, act, limit, position)
        return [_holder(h, obj, act) for h in found], following, total

    # --- writing -------------------------------------------------------------------------

    def _done(self, app: str, written: ops.Written) -> ops.Written:
        with self._lock:
            self._floor[app] = max(self._floor.get(app, 0), written.version)
        return written

    def _app(self, app: str) -> str:
        if app_error(app):
            raise ApiError(404, f"unknown application {app!r}")
        return app

    def create(self, name: str) -> int:
        return ops.create(name, self.engine)

    def grant(self, app: str, role: str, data: Json, expected: set[int] | None, allow_superuser: bool = False,
              literal: bool = False) -> tuple[Json, int, bool]:
        role_name(role)
        pair = (text_field(data, "obj", "object"), text_field(data, "act", "action"))
        w = self._done(app, ops.grant(self._app(app), role, [pair], engine=self.engine, live=self.live,
                                      expected=expected, allow_superuser=allow_superuser, literal=literal))
        return w.result, w.version, w.changed

    def revoke(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        pair = (text_field(data, "obj", "object"), text_field(data, "act", "action"))
        w = self._done(app, ops.revoke(self._app(app), role, [pair], engine=self.engine, live=self.live,
                                       expected=expected))
        return w.result, w.version

    def set_grants(self, app: str, role: str, data: Json, expected: set[int] | None, allow_superuser: bool = False,
                   literal: bool = False) -> tuple[Json, int]:
        role_name(role)
        items = data.get("permissions")
        if not isinstance(items, list):
            raise bad("'permissions' must be a list of {\"obj\": ..., \"act\": ...}")
        wanted = []
        for item in items:
            item = as_object(item, "each permission")
            wanted.append((text_field(item, "obj", "object"), text_field(item, "act", "action")))
        w = self._done(app, ops.set_permissions(self._app(app), role, wanted, engine=self.engine, live=self.live,
                                                expected=expected, allow_superuser=allow_superuser, literal=literal))
        return w.result, w.version

    def include(self, app: str, role: str, data: Json, expected: set[int] | None,
                allow_superuser: bool = False) -> tuple[Json, int, bool]:
        role_name(role)
        sub = role_name(data.get("role"), "role")
        w = self._done(app, ops.include(self._app(app), role, [sub], engine=self.engine, live=self.live,
                                        expected=expected, allow_superuser=allow_superuser))
        if w.refusals:
            path = [role] if sub == role else None
            raise ApiError(409, "\n".join(w.refusals), path=path or [sub, *([] if sub == role else [role])])
        return w.result, w.version, w.changed

    def exclude(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        sub = role_name(data.get("role"), "role")
        w = self._done(app, ops.exclude(self._app(app), role, [sub], engine=self.engine, live=self.live,
                                        expected=expected))
        return w.result, w.version

    def set_sub_roles(self, app: str, role: str, data: Json, expected: set[int] | None,
                      allow_superuser: bool = False) -> tuple[Json, int]:
        role_name(role)
        wanted = list(dict.fromkeys(role_list(data, "roles", empty=True)))
        w = self._done(app, ops.set_sub_roles(self._app(app), role, wanted, engine=self.engine, live=self.live,
                                              expected=expected, allow_superuser=allow_superuser))
        return w.result, w.version

    # --- files ---------------------------------------------------------------------------

    def export(self, snap: Snapshot, fmt: str) -> str:
        return transfer.export(snap.matrix, ops.load_users(snap.name, self.engine), fmt)

    def import_text(self, app: str, text: str, name: str, fmt: str, dry_run: bool,
                    expected: set[int] | None, skip_refused: bool = False, literal: bool = False,
                    merge_builtin: bool = False, allow_superuser: bool = False) -> Json:
        """Reads the whole file first: any bad line and nothing is written (400 listing them
        all). All or nothing, as every door: see core/transfer.py."""
        if app_error(app):
            raise bad(app_error(app) or "")
        done = transfer.import_text(app, text, name, fmt, engine=self.engine, dry_run=dry_run,
                                    skip_refused=skip_refused, literal=literal, merge_builtin=merge_builtin,
                                    allow_superuser=allow_superuser, expected=expected)
        out: Json = {"entries": done.entries, "added": [e.casbin() for e in done.added],
                     "refused": [{"where": e.where, "line": e.casbin(), "reason": reason}
                                 for e, reason in done.refused],
                     "unchanged": done.already, "notes": done.notes, "dry_run": dry_run,
                     "users_assigned": done.users}
        if not dry_run:
            out["version"] = done.version or 0
            with self._lock:
                self._floor[app] = max(self._floor.get(app, 0), done.version or 0)
        return out

    # --- assertions ----------------------------------------------------------------------

    def run_assertions(self, text: str, name: str, app: str | None = None, at_least: int | None = None,
                       most: int | None = None) -> Json:
        """The outcomes, and `versions`: the version of each application read (`at_least`:
        that of `app` or newer); 413 when the file holds more than `most` assertions."""
        versions: dict[str, int] = {}

        def snapshot_of(name: str) -> Snapshot:
            snap = self.snapshot(name, at_least if name == app else None)
            versions[name] = snap.version or 0
            return snap

        try:
            items = assertions.parse(text, name, app)
            if most is not None and len(items) > most:
                raise ApiError(413, f"an assertion file takes at most {most} assertions; this one has {len(items)}",
                               code="too_large")
            apps = set(self.apps())
            assertions.missing_apps(items, apps.__contains__, name)
        except assertions.BadFile as exc:
            raise bad(f"{name} cannot be run", lines=exc.lines) from None
        outcomes = assertions.run(items, snapshot_of)
        return {"results": [{**o.to_json(), "message": o.message(name)} for o in outcomes],
                "failed": sum(not o.holds for o in outcomes), "versions": versions}


def _holder(h: Holding, obj: str, act: str) -> Json:
    return {"role": h.role, "path": h.path, "granted": {"obj": h.granted[0], "act": h.granted[1]},
            "explanation": h.explain(obj, act)}


def not_reached(what: str, version: int, waited: float) -> ApiError:
    """The answer to a read asking for a version the store has not reached (503: the store
    cannot give that answer now, try again), as the command line's status 3 says of it."""
    return ApiError(503, f"{what} is not at version {version} in the store, still after {waited:g} s: "
                         "that version was not committed there, or not yet received (a replica); try again",
                    headers={"Retry-After": "1"}, code="version_not_reached")


def etag(version: int | None) -> str:
    return f'"{version or 0}"'


_TAG = re.compile(r'\s*(?:W/)?"?([0-9]{1,15})"?\s*', re.ASCII)


def parse_if_match(header: str | None) -> set[int] | None:
    """The versions an If-Match header accepts; None for any (no header, or *)."""
    if header is None or header.strip() == "*":
        return None
    versions = set()
    for part in header.split(","):
        found = _TAG.fullmatch(part)
        if found is None:
            shown = part.strip()
            shown = shown if len(shown) <= 40 else shown[:40] + "..."
            raise bad(f"If-Match must be an ETag of this API (a quoted version number), not {shown!r}")
        versions.add(int(found.group(1)))
    return versions
