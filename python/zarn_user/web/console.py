"""What the console does, without HTTP: reads through live documents (notify mode, so a
change made by any process shows without a restart) and writes through `Live.update`, on a
fresh copy, with the version check of `If-Match`.

Every method raises ApiError for what the caller asked wrongly; the HTTP layer turns it into
a status and one JSON error. Messages are the command line's.
"""

from __future__ import annotations

import re
import threading
from typing import TYPE_CHECKING, Any, Callable

from ..core.interchange import apply as apply_entries, export_casbin, export_json, name_errors, parse
from ..core.holders import Holding, containment_path
from ..core.holders import refusal as _refusal
from ..core.text import APP_RULE, app_pattern, role_error, value_error
from . import assertions
from .snapshot import Snapshot

if TYPE_CHECKING:
    from ..role_matrix import RoleMatrix

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
    error = value_error(what, value)
    if error:
        raise bad(error)
    return value


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


def as_object(data: Any, what: str = "the body") -> Json:
    if not isinstance(data, dict):
        raise bad(f"{what} must be a JSON object")
    return data


class Console:
    """The live role matrices of one store, and the operations of the API on them."""

    def __init__(self, engine: Any, token: str | None) -> None:
        import zarn_engine

        import zarn_user.role_matrix as rm

        self.rm = rm
        self.engine = engine
        self.token = token
        self.live = zarn_engine.Live(rm.RoleMatrix, consistency="notify", engine=engine)
        self._snapshots: dict[str, Snapshot] = {}
        self._floor: dict[str, int] = {}  # app -> the version our last write made
        self._lock = threading.Lock()

    def close(self) -> None:
        self.live.close()

    # --- reading -------------------------------------------------------------------------

    def apps(self) -> list[str]:
        return self.rm.RoleMatrix.keys(engine=self.engine)

    def snapshot(self, app: str) -> Snapshot:
        """The indexed current version of `app` (404 when there is none), read through the
        live documents; it may read the store, so it runs in a worker thread."""
        from zarn_engine import DoesNotExist

        if not app_pattern().search(app):
            raise ApiError(404, f"unknown application {app!r}")
        try:
            doc = self.live.get(app)
            if (doc.version or 0) < self._floor.get(app, 0):
                doc = self.live.get(app)  # began before a write of ours was installed
        except DoesNotExist:
            with self._lock:
                self._snapshots.pop(app, None)
            raise ApiError(404, f"unknown application {app!r}") from None
        snap = self._snapshots.get(app)
        # An instance is brought up to date in place: a snapshot is of one version of it.
        if snap is None or snap.matrix is not doc or snap.version != doc.version:
            snap = Snapshot(doc)
        with self._lock:
            current = self._snapshots.get(app)
            if current is None or (current.version or 0) <= (snap.version or 0):
                self._snapshots[app] = snap
        return snap

    def recent(self, app: str) -> Snapshot | None:
        """The snapshot of the instance the live documents would answer with without reading
        the store (their feed proved within the last second that nothing newer was committed),
        or None. Reads nothing, so a check can be answered on the event loop; the refresher
        builds the snapshot of each new instance in a worker thread."""
        doc = self.live.peek(app)
        snap = self._snapshots.get(app)
        if (doc is not None and snap is not None and snap.matrix is doc and snap.version == doc.version
                and (doc.version or 0) >= self._floor.get(app, 0)):
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

    def who(self, snap: Snapshot, obj: str | None, act: str | None) -> Json:
        obj = text_field({"obj": obj} if obj is not None else {}, "obj", "object")
        act = text_field({"act": act} if act is not None else {}, "act", "action")
        return {"holders": [_holder(h, obj, act) for h in snap.who(obj, act)]}

    # --- writing -------------------------------------------------------------------------

    def write(self, app: str, expected: set[int] | None, change: Callable[[Any], Any]) -> tuple[Any, int]:
        """Run `change` on a fresh copy of `app` and save it: (its result, the new version).
        412 when `expected` (from If-Match) does not hold the version the change would
        replace; nothing is saved when `change` raises."""
        from zarn_engine import DoesNotExist

        self.snapshot(app)  # 404 for an unknown application, before anything else
        changed: list[Any] = []

        def run(doc: Any) -> Any:
            if expected is not None and doc.version not in expected:
                raise ApiError(412, f"{app} is at version {doc.version} now, not the one given in If-Match: "
                                    "look at it again", etag=etag(doc.version))
            changed[:] = [doc]
            return change(doc)

        try:
            result = self.live.update(app, run)
        except DoesNotExist:
            raise ApiError(404, f"unknown application {app!r}") from None
        version = changed[0].version
        with self._lock:
            self._floor[app] = max(self._floor.get(app, 0), version)
        return result, version

    def current(self, app: str, expected: set[int] | None) -> int:
        """The current version, for a write that has nothing to change (412 as `write`)."""
        snap = self.snapshot(app)
        if expected is not None and snap.version not in expected:
            raise ApiError(412, f"{app} is at version {snap.version} now, not the one given in If-Match: "
                                "look at it again", etag=etag(snap.version))
        return snap.version or 0

    def create(self, name: str) -> int:
        from zarn_engine import ConflictError

        if not app_pattern().search(name):
            raise bad(f"invalid application name {name!r}: {APP_RULE}")
        matrix = self.rm.RoleMatrix(name=name)
        try:
            matrix.save(engine=self.engine)
        except ConflictError:
            raise ApiError(409, f"application {name!r} exists already") from None
        return matrix.version or 0  # set by the save

    def grant(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int, bool]:
        role_name(role)
        obj = text_field(data, "obj", "object")
        act = text_field(data, "act", "action")
        snap = self.snapshot(app)
        if (obj, act) in snap.grants.get(role, {}):
            return snap.role(role), self.current(app, expected), False

        def change(doc: RoleMatrix) -> Json:
            return doc.add_role_permissions(role, [{"obj": obj, "act": act}]).to_display()

        content, version = self.write(app, expected, change)
        return content, version, True

    def revoke(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        obj = text_field(data, "obj", "object")
        act = text_field(data, "act", "action")
        snap = self.snapshot(app)
        self.known_role(snap, role)

        def change(doc: RoleMatrix) -> Json:
            own = doc.get_role_contents(role).to_display()["permissions"]
            if {"obj": obj, "act": act} not in own:
                message = f"not revoked: {role} is not granted {obj}:{act} directly"
                holding = Snapshot(doc).holding([role], obj, act)
                if holding is not None:
                    message += (f"; it holds it through {' -> '.join(holding.path)} "
                                f"(revoke it there, or exclude {holding.path[1]})")
                raise ApiError(404, message)
            return doc.set_role_permissions(role, [p for p in own if p != {"obj": obj, "act": act}]).to_display()

        return self.write(app, expected, change)

    def set_grants(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        role_name(role)
        items = data.get("permissions")
        if not isinstance(items, list):
            raise bad("'permissions' must be a list of {\"obj\": ..., \"act\": ...}")
        wanted = []
        for item in items:
            item = as_object(item, "each permission")
            wanted.append((text_field(item, "obj", "object"), text_field(item, "act", "action")))
        wanted = list(dict.fromkeys(wanted))

        def change(doc: RoleMatrix) -> Json:
            doc.get_implicit_permissions_for_roles([role])  # a new role becomes a node first (a copy)
            return doc.set_role_permissions(role, [{"obj": o, "act": a} for o, a in wanted]).to_display()

        return self.write(app, expected, change)

    def include(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int, bool]:
        role_name(role)
        sub = role_name(data.get("role"), "role")
        snap = self.snapshot(app)
        self.known_role(snap, sub)
        if sub in snap.subs.get(role, {}):
            return snap.role(role), self.current(app, expected), False

        def change(doc: RoleMatrix) -> Json:
            path = [role] if sub == role else containment_path(doc, sub, role)
            if path:
                raise ApiError(409, _refusal(doc, role, sub), path=path)
            content = doc.add_role_sub_roles(role, [sub])
            if sub not in content.roles:  # refused by the cycle guard: nothing is stored
                raise ApiError(409, _refusal(doc, role, sub), path=[])
            return content.to_display()

        content, version = self.write(app, expected, change)
        return content, version, True

    def exclude(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        sub = role_name(data.get("role"), "role")
        snap = self.snapshot(app)
        self.known_role(snap, role)

        def change(doc: RoleMatrix) -> Json:
            current = doc.get_role_contents(role).roles
            if sub not in current:
                message = f"not excluded: {sub} is no direct sub-role of {role}"
                path = containment_path(doc, role, sub)
                if path:
                    message += (f"; {role} contains it through {' -> '.join(path)} "
                                f"(exclude {path[1]}, or {sub} from {path[-2]})")
                raise ApiError(404, message)
            return doc.set_role_sub_roles(role, [r for r in dict.fromkeys(current) if r != sub]).to_display()

        return self.write(app, expected, change)

    def set_sub_roles(self, app: str, role: str, data: Json, expected: set[int] | None) -> tuple[Json, int]:
        role_name(role)
        wanted = list(dict.fromkeys(role_list(data, "roles", empty=True)))
        snap = self.snapshot(app)
        for sub in wanted:
            self.known_role(snap, sub)

        def change(doc: RoleMatrix) -> Json:
            guilty = [s for s in wanted if s == role or containment_path(doc, s, role)]
            if guilty:
                raise ApiError(409, "\n".join(_refusal(doc, role, s) for s in guilty),
                               refused=[{"role": s, "path": [role] if s == role else containment_path(doc, s, role)}
                                        for s in guilty])
            doc.get_implicit_permissions_for_roles([role])  # a new role becomes a node first (a copy)
            content = doc.set_role_sub_roles(role, wanted)
            if list(content.roles) != wanted:
                raise ApiError(409, "refused: the new sub-roles would close a cycle")
            return content.to_display()

        return self.write(app, expected, change)

    # --- files ---------------------------------------------------------------------------

    def export(self, snap: Snapshot, fmt: str) -> str:
        if fmt == "casbin":
            return export_casbin(snap.matrix)
        if fmt == "json":
            return export_json(snap.matrix)
        raise bad(f"unknown export format {fmt!r}: json or casbin")

    def import_text(self, app: str, text: str, name: str, fmt: str, dry_run: bool,
                    expected: set[int] | None, skip_refused: bool = False) -> Json:
        """Reads the whole file first: any bad line and nothing is written (400 listing them
        all). All or nothing, as the command line: lines the cycle guard refuses are listed
        and nothing is written (409), unless `skip_refused` keeps the rest."""
        from zarn_engine import ConflictError

        if not app_pattern().search(app):
            raise bad(f"invalid application name {app!r}: {APP_RULE}")
        if fmt not in ("auto", "json", "casbin"):
            raise bad(f"unknown import format {fmt!r}: auto, json or casbin")
        reading = parse(text, name, fmt)
        exists = self.engine.version(self.rm.RoleMatrix._collection(), app) is not None
        existing = self.snapshot(app).role_set if exists else set()
        errors = reading.errors + name_errors(reading.entries, existing)
        errors += [(e.order, f"{e.where}: a user's role ({e.fields[0]} in {e.fields[1]}): users are imported "
                             "with zarn-roles import") for e in reading.entries if e.kind == "u"]
        if errors:
            lines = [message for _, message in sorted(errors, key=lambda e: e[0])]
            raise bad(f"{len(lines)} bad line(s): nothing was imported", lines=lines)
        entries, settings, notes = reading.entries, reading.settings, reading.notes

        def change(doc: RoleMatrix) -> Json:
            for key, value in settings.items():
                setattr(doc, key, value)
            added, refused = apply_entries(doc, entries)
            if refused and not skip_refused and not dry_run:
                raise ApiError(409, f"{len(refused)} line(s) would close a cycle: nothing was imported",
                               refused=[{"where": e.where, "line": e.casbin(), "reason": _refusal(doc, *e.fields)}
                                        for e in refused])
            return {"entries": len(entries), "added": [e.casbin() for e in added],
                    "refused": [{"where": e.where, "line": e.casbin(), "reason": _refusal(doc, *e.fields)}
                                for e in refused],
                    "unchanged": len(entries) - len(added) - len(refused), "notes": notes}

        if dry_run:
            doc = (self.rm.RoleMatrix.load(app, engine=self.engine) if exists
                   else self.rm.RoleMatrix(name=app, policies=[], groups=[]))
            return {**change(doc), "dry_run": True}
        if not exists:
            if expected is not None:
                raise ApiError(412, f"{app} does not exist, but If-Match names a version of it")
            try:
                self.rm.RoleMatrix(name=app, policies=[], groups=[]).save(engine=self.engine)
            except ConflictError:
                pass  # made meanwhile: import into it
        result, version = self.write(app, expected, change)
        return {**result, "dry_run": False, "version": version}

    # --- assertions ----------------------------------------------------------------------

    def run_assertions(self, text: str, name: str, app: str | None = None) -> Json:
        try:
            items = assertions.parse(text, name, app)
            apps = set(self.apps())
            assertions.missing_apps(items, apps.__contains__, name)
        except assertions.BadFile as exc:
            raise bad(f"{name} cannot be run", lines=exc.lines) from None
        outcomes = assertions.run(items, self.snapshot)
        return {"results": [{**o.to_json(), "message": o.message(name)} for o in outcomes],
                "failed": sum(not o.holds for o in outcomes)}


def _holder(h: Holding, obj: str, act: str) -> Json:
    return {"role": h.role, "path": h.path, "granted": {"obj": h.granted[0], "act": h.granted[1]},
            "explanation": h.explain(obj, act)}


def etag(version: int | None) -> str:
    return f'"{version or 0}"'


def parse_if_match(header: str | None) -> set[int] | None:
    """The versions an If-Match header accepts; None for any (no header, or *)."""
    if header is None or header.strip() == "*":
        return None
    versions = set()
    for part in header.split(","):
        tag = part.strip()
        if tag.startswith("W/"):
            tag = tag[2:]
        tag = tag.strip('"')
        if not tag.isdigit():
            raise bad(f"If-Match must be an ETag of this API (a quoted version number), not {part.strip()!r}")
        versions.add(int(tag))
    return versions
