"""The change history of an application, read from the store's change log: its entries as
JSON-able records (version, time, who, what, change), pages of them, the changes after a
version when the log still holds every one, and what changed between two versions.

Every door reads the history here: the command line (`zarn-roles log`, `diff`), the HTTP
API (`/log`, `/diff`) and the event streams. `what` words a change in the command line's
verbs (grant, revoke, include, exclude, assign, unassign); a change of many records is one
line of counts.
"""

from __future__ import annotations

import datetime
import json
from collections import Counter
from typing import TYPE_CHECKING, Any, Callable

from .errors import BadInput, LogGone, NotFound
from .users import UserRoles

if TYPE_CHECKING:
    from zarn_engine import Engine

Record = dict[str, Any]
BULK = 5  # a change of more records than this is one line of counts (an import)
MAX_CHANGE = 256 << 10  # over HTTP, a change's text longer than this is told by its `what` only

# (list, added or removed) -> the verb, and how a record reads after it
_VERBS = {("policies", "+"): "grant", ("policies", "-"): "revoke", ("groups", "+"): "include",
          ("groups", "-"): "exclude", ("assignments", "+"): "assign", ("assignments", "-"): "unassign"}


def roles_collection() -> str:
    """The store's collection of role matrices."""
    import zarn_user.role_matrix as rm

    return rm.RoleMatrix._collection()


def users_collection() -> str:
    return UserRoles._collection()


def utc(seconds: float) -> str:
    """A log time as ISO 8601 in UTC, to the millisecond."""
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat(timespec="milliseconds")


# --- wording -------------------------------------------------------------------------------


def _record_text(name: str, record: Any) -> str:
    if name == "policies" and isinstance(record, dict):
        return f"{record.get('sub')} {record.get('obj')}:{record.get('act')}"
    if isinstance(record, dict):
        return " ".join(str(value) for value in record.values())
    return str(record)


def describe(change: dict[str, Any] | None) -> list[str]:
    """One line per thing the change did, or for a change of many records one line counting
    them by verb."""
    from zarn_engine.changes import describe as records

    if change is None:
        return records(None)
    done: list[tuple[str, str]] = []  # (verb, record)
    # A list rewritten (a role's permissions replaced) removes records and appends them
    # again: only what the change did on the whole is told.
    again: Counter[tuple[str, str]] = Counter()
    for name, listed in change.get("lists", {}).items():
        again.update((name, json.dumps(r, sort_keys=True)) for r in listed.get("append", ()))
    kept: Counter[tuple[str, str]] = Counter()
    for name, removed in change.get("was", {}).get("lists", {}).items():
        for r in removed:
            key = (name, json.dumps(r, sort_keys=True))
            if again[key] > kept[key]:
                kept[key] += 1
            else:
                done.append((_VERBS.get((name, "-"), f"- {name}"), _record_text(name, r)))
    for name, listed in change.get("lists", {}).items():
        for r in listed.get("append", ()):
            key = (name, json.dumps(r, sort_keys=True))
            if kept[key]:
                kept[key] -= 1
            else:
                done.append((_VERBS.get((name, "+"), f"+ {name}"), _record_text(name, r)))
    rest = records({key: value for key, value in change.items() if key not in ("was", "lists")})
    rest = [] if rest == ["no change"] else rest
    if len(done) > BULK:
        counts: dict[str, int] = {}
        for verb, _ in done:
            counts[verb] = counts.get(verb, 0) + 1
        return [f"{len(done)} changes at once: " + ", ".join(f"{verb} \u00d7{n}" for verb, n in counts.items())] + rest
    return [f"{verb} {record}" for verb, record in done] + rest or ["no change"]


def record(entry: dict[str, Any], when: Callable[[float], str] = utc, max_change: int | None = None) -> Record:
    """A log entry (as `Engine.history` gives it) as a record: version, time (by `when`), who,
    what (lines for people), change (the change as stored, without the old records it
    replaced; None for a whole-document write). `max_change`: a change whose text is longer
    is left out (`change` None, `change_size` its length), its `what` still says it."""
    from zarn_engine.changes import loads

    text = entry["change"]
    change = None if text is None else loads(text)
    what = describe(change)
    if change is not None:
        change.pop("was", None)
    out: Record = {"version": entry["version"], "time": when(entry["time"]), "who": entry["who"],
                   "what": what, "change": change}
    if change is not None and max_change is not None and len(text) > max_change:
        out["change"] = None
        out["change_size"] = len(text)
    return out


# --- reading -------------------------------------------------------------------------------


def current(engine: Engine, app: str) -> int:
    """The stored version of `app`; NotFound when there is none."""
    version = engine.version(roles_collection(), app)
    if version is None:
        raise NotFound(f"unknown application {app!r}", what="application", name=app)
    return version


def entries(engine: Engine, app: str, since_version: int | None = None,
            since_time: float | None = None) -> list[dict[str, Any]]:
    """The log entries of `app`'s roles after `since_version`, from `since_time` on, oldest
    first; NotFound for an unknown application."""
    current(engine, app)
    return engine.history(roles_collection(), app, since_version, since_time)


def user_entries(engine: Engine, app: str, since_version: int | None, since_time: float | None,
                 roles: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The log entries of the users of `app` (assign, unassign) in the same span as `roles`,
    the entries of its roles: after the time of version `since_version`, or from `since_time`."""
    if since_version is not None:
        at = engine.history(roles_collection(), app, since_version - 1)[:1]
        if at and at[0]["version"] == since_version:
            since_time = at[0]["time"]
        elif roles:  # the log no longer reaches that version: from the first change it holds
            since_time = roles[0]["time"]
        else:
            return []
    return [e for e in engine.history(users_collection(), app, None, since_time)
            if since_version is None or e["time"] > since_time]


def after(engine: Engine, app: str, version: int, upto: int, max_change: int | None = None) -> list[Record] | None:
    """The records of every change after `version` up to `upto`, in order; None when the log
    no longer holds each of them (pruned, or the application was replaced meanwhile), or
    holds one that cannot be read."""
    from zarn_engine import LoadError

    if version >= upto:
        return []
    found = [e for e in engine.history(roles_collection(), app, version) if e["version"] <= upto]
    if [e["version"] for e in found] != list(range(version + 1, upto + 1)):
        return None
    try:
        return [record(e, max_change=max_change) for e in found]
    except LoadError:
        return None


def page(engine: Engine, app: str, limit: int, before: int | None = None, since: int | None = None,
         max_change: int | None = None) -> dict[str, Any]:
    """A page of `app`'s log: the newest `limit` entries (before version `before`, when
    given), newest first; or with `since`, the oldest `limit` after that version, oldest
    first (and before `before`, when both are given). With the current version and the cursor of the next page (None at the end)."""
    latest = current(engine, app)
    collection = roles_collection()
    if since is not None:
        if since > latest:
            raise _no_version(app, since, latest)
        found = [e for e in engine.history(collection, app, since) if before is None or e["version"] < before]
        if since < latest and (not found or found[0]["version"] != since + 1):
            raise _gone(app, since, found[0]["version"] - 1 if found else latest)
        shown = found[:limit]
        more = len(found) > limit
        cursor = {"since": shown[-1]["version"] if more else None}
    else:
        top = latest + 1 if before is None else min(before, latest + 1)
        # Versions follow one another: the page lies in the `limit` versions below `top`,
        # one more tells whether older entries remain.
        found = [e for e in engine.history(collection, app, max(-1, top - limit - 2)) if e["version"] < top]
        shown = found[-limit:][::-1]
        more = len(found) > limit
        cursor = {"before": shown[-1]["version"] if more else None}
    return {"app": app, "version": latest, "entries": [record(e, max_change=max_change) for e in shown], **cursor}


def _no_version(app: str, version: int, latest: int) -> NotFound:
    return NotFound(f"{app} has no version {version} (its latest is {latest})", what="version", name=str(version))


def _gone(app: str, asked: int, oldest: int) -> LogGone:
    return LogGone(f"the history of {app} no longer reaches back to version {asked} (it reaches back to version "
                   f"{oldest}): read the application whole", app=app, asked=asked, oldest=oldest)


def diff(engine: Engine, app: str, v1: int, v2: int) -> dict[str, Any]:
    """What changed in `app` from version `v1` to `v2` (either way): per list the records
    added and removed, per field its values; BadInput for a version it never had, LogGone
    when the log no longer holds every change between them or one was a whole write."""
    from zarn_engine.changes import loads, net

    if v1 < 0 or v2 < 0:
        raise BadInput("versions are numbers, 0 or more")
    first, last = sorted((v1, v2))
    found = entries(engine, app, first)
    latest = engine.version(roles_collection(), app)
    if latest is not None and last > latest:
        raise _no_version(app, last, latest)
    found = [e for e in found if e["version"] <= last]
    versions = [e["version"] for e in found]
    if versions != list(range(first + 1, last + 1)):
        oldest = versions[0] - 1 if versions else None
        reach = f" (it reaches back to version {oldest})" if oldest is not None and oldest < last else ""
        raise LogGone(f"the history of {app} does not hold every change from version {first} to {last}"
                      f"{reach}: see zarn-roles log {app}", app=app, asked=first, oldest=oldest)
    changes = [None if e["change"] is None else loads(e["change"]) for e in found]
    for entry, change in zip(found, changes):
        if change is None:
            raise LogGone(f"version {entry['version']} of {app} was written whole, not as a change: "
                          f"no diff across it", app=app, asked=first, whole=entry["version"])
    out = net(changes)
    if v1 > v2:  # from the later version back to the earlier one
        out["added"], out["removed"] = out["removed"], out["added"]
        out["fields"] = {name: {"from": pair["to"], "to": pair["from"]} for name, pair in out["fields"].items()}
    return {"from": v1, "to": v2, **out}
