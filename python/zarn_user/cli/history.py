"""The change history of an application: `log` lists the committed changes (version, time,
who, what), `diff` shows what changed between two versions. Each change is labelled with
the name given by `--as` (default $USER) when it was committed; how long the store keeps
changes is its retention (ZARN_KEEP_CHANGES, ZARN_KEEP_DAYS)."""

from __future__ import annotations

from .command import APP, Command, arg
from .errors import BadInput

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse
    from typing import Any

    from .context import Context

    Args = argparse.Namespace


def _history(ctx: Context, app: str, since_version: int | None = None,
             since_time: float | None = None) -> list[dict[str, Any]]:
    ctx.store.open(create=False)
    engine = ctx.store.engine
    assert engine is not None  # opened above
    collection = rm_collection()
    if engine.version(collection, app) is None:
        raise BadInput(f"unknown application {app!r} (see: zarn-roles list)")
    return engine.history(collection, app, since_version, since_time)


def rm_collection() -> str:
    """The store's collection of role matrices."""
    import zarn_user.role_matrix as rm

    return rm.RoleMatrix._collection()


def _since(text: str | None) -> tuple[int | None, float | None]:
    """--since as a version or as a time (ISO 8601, local time unless it says otherwise)."""
    if text is None:
        return None, None
    if text.isdigit():
        return int(text), None
    import datetime

    try:
        when = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise BadInput(f"--since {text!r}: a version number or a time such as 2026-05-01 or "
                       "2026-05-01T12:00") from None
    return None, when.timestamp()


def _when(seconds: float) -> str:
    import datetime

    return datetime.datetime.fromtimestamp(seconds).astimezone().isoformat(timespec="seconds")


def _user_history(ctx: Context, app: str, since_version: int | None, since_time: float | None,
                  roles: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The changes to the users of APP (assign, unassign) in the same span as `roles`, the
    changes to its roles: after the time of version `since_version`, or from `since_time`."""
    from zarn_user.users import UserRoles

    engine = ctx.store.engine
    assert engine is not None  # opened by _history
    if since_version is not None:
        at = engine.history(rm_collection(), app, since_version - 1)[:1]
        if at and at[0]["version"] == since_version:
            since_time = at[0]["time"]
        elif roles:  # the log no longer reaches that version: from the first change it holds
            since_time = roles[0]["time"]
        else:
            return []
    return [e for e in engine.history(UserRoles._collection(), app, None, since_time)
            if since_version is None or e["time"] > since_time]


def cmd_log(args: Args, ctx: Context) -> None:
    from zarn_engine.changes import loads

    from .log_view import describe

    since_version, since_time = _since(args.since)
    entries = [{**e, "document": "roles"} for e in _history(ctx, args.app, since_version, since_time)]
    entries += [{**e, "document": "users"}
                for e in _user_history(ctx, args.app, since_version, since_time, entries)]
    entries.sort(key=lambda e: e["time"])  # stable: a change to roles first at the same time
    data, lines = [], []
    for entry in entries:
        change = None if entry["change"] is None else loads(entry["change"])
        what = describe(change)
        if change is not None:
            change.pop("was", None)
        users = entry["document"] == "users"
        data.append({"version": entry["version"], "document": entry["document"], "time": _when(entry["time"]),
                     "who": entry["who"], "what": what, "change": change})
        version = f"u{entry['version']}" if users else str(entry["version"])
        lines.append(f"{version}  {_when(entry['time'])}  {entry['who'] or '-'}  "
                     f"{'first assignments of users, written whole' if users and change is None else what[0]}")
        lines.extend(f"{'':>{len(version)}}  {line}" for line in what[1:])
    ctx.out.emit(data, "\n".join(lines) if lines else "(no changes logged)")


def cmd_diff(args: Args, ctx: Context) -> None:
    from zarn_engine.changes import describe, loads, net

    first, last = sorted((args.v1, args.v2))
    entries = _history(ctx, args.app, first)
    engine = ctx.store.engine
    assert engine is not None  # opened by _history
    latest = engine.version(rm_collection(), args.app)
    if latest is not None and last > latest:
        raise BadInput(f"{args.app} has no version {last} (its latest is {latest})")
    entries = [e for e in entries if e["version"] <= last]
    versions = [e["version"] for e in entries]
    if versions != list(range(first + 1, last + 1)):
        oldest = versions[0] - 1 if versions else None
        reach = f" (it reaches back to version {oldest})" if oldest is not None and oldest < last else ""
        raise BadInput(f"the history of {args.app} does not hold every change from version {first} to {last}"
                       f"{reach}: see zarn-roles log {args.app}")
    changes = [None if e["change"] is None else loads(e["change"]) for e in entries]
    for entry, change in zip(entries, changes):
        if change is None:
            raise BadInput(f"version {entry['version']} of {args.app} was written whole, not as a change: "
                           f"no diff across it")
    found = net(changes)
    if args.v1 > args.v2:  # from the later version back to the earlier one
        found["added"], found["removed"] = found["removed"], found["added"]
        found["fields"] = {name: {"from": pair["to"], "to": pair["from"]} for name, pair in found["fields"].items()}
    shown = describe({"was": {"lists": found["removed"]},
                      "lists": {name: {"append": records} for name, records in found["added"].items()},
                      "fields": {name: pair["to"] for name, pair in found["fields"].items()}})
    ctx.out.emit({"from": args.v1, "to": args.v2, **found}, "\n".join(shown))


COMMANDS = [
    Command("log", cmd_log, "list the committed changes of APP and of its users (versions uN): version, time, who, "
                            "what",
            (APP, arg("--since", metavar="VERSION|TIME",
                      help="only changes after this version, or from this time on (2026-05-01T12:00)")),
            epilog="Changes are labelled with --as NAME (default $USER). Stores keep them for "
                   "$ZARN_KEEP_CHANGES changes and $ZARN_KEEP_DAYS days (10000 and 90 by default)."),
    Command("diff", cmd_diff, "show what changed in APP between versions V1 and V2",
            (APP, arg("v1", metavar="V1", type=int), arg("v2", metavar="V2", type=int))),
]
