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


def _engine(ctx: Context) -> Any:
    ctx.store.open(create=False)
    engine = ctx.store.engine
    assert engine is not None  # opened above
    return engine


def _unknown(app: str) -> BadInput:
    return BadInput(f"unknown application {app!r} (see: zarn-roles list)")


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


def cmd_log(args: Args, ctx: Context) -> None:
    from ..core import history
    from ..core.errors import NotFound

    engine = _engine(ctx)
    since_version, since_time = _since(args.since)
    try:
        roles = history.entries(engine, args.app, since_version, since_time)
    except NotFound:
        raise _unknown(args.app) from None
    found = [{**e, "document": "roles"} for e in roles]
    found += [{**e, "document": "users"}
              for e in history.user_entries(engine, args.app, since_version, since_time, roles)]
    found.sort(key=lambda e: e["time"])  # stable: a change to roles first at the same time
    data, lines = [], []
    for entry in found:
        rec = history.record(entry, _when)
        users = entry["document"] == "users"
        data.append({"version": rec["version"], "document": entry["document"], "time": rec["time"],
                     "who": rec["who"], "what": rec["what"], "change": rec["change"]})
        what = rec["what"]
        version = f"u{entry['version']}" if users else str(entry["version"])
        lines.append(f"{version}  {rec['time']}  {entry['who'] or '-'}  "
                     f"{'first assignments of users, written whole' if users and rec['change'] is None else what[0]}")
        lines.extend(f"{'':>{len(version)}}  {line}" for line in what[1:])
    ctx.out.emit(data, "\n".join(lines) if lines else "(no changes logged)")


def cmd_diff(args: Args, ctx: Context) -> None:
    from zarn_engine.changes import describe

    from ..core import history
    from ..core.errors import NotFound

    try:
        found = history.diff(_engine(ctx), args.app, args.v1, args.v2)
    except NotFound as exc:
        if exc.what == "application":
            raise _unknown(args.app) from None
        raise
    shown = describe({"was": {"lists": found["removed"]},
                      "lists": {name: {"append": records} for name, records in found["added"].items()},
                      "fields": {name: pair["to"] for name, pair in found["fields"].items()}})
    ctx.out.emit(found, "\n".join(shown))


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
