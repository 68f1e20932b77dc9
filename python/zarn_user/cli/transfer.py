"""`zarn-roles import`: reads the file and hands it to the core's import (core/transfer.py),
which checks it whole and imports it all or nothing, users included; this file only says
what happened, for people or as JSON."""

from __future__ import annotations

import argparse
from typing import Any

from ..core import interchange
from ..core.errors import Refused
from ..core.holders import refusal
from .context import Context


def _preview(done: Any) -> list[str]:
    return [f"would assign: {user}: {role}" for user, role in done.assigned]


def import_file(args: argparse.Namespace, ctx: Context) -> None:
    from ..core import transfer
    from .render import Progress

    text = interchange.read_text(args.file)
    store = ctx.store
    if store.exists():  # a SQLite file that does not exist is created on the first save only
        store.open(create=False)

    def writing() -> Any:
        store.open(create=True)
        store.writing = True
        return store.engine

    progress = Progress(text.count("\n"), "import")
    done = transfer.import_text(args.app, text, args.file, args.format, engine=store.engine, dry_run=args.dry_run,
                                skip_refused=args.skip_refused, literal=args.literal,
                                merge_builtin=args.merge_builtin, allow_superuser=args.allow_superuser,
                                step=progress.step, writing=writing)
    progress.done()
    store.committed = done.stored
    for note in done.notes:
        ctx.out.note(f"note: {note}")
    wildcard_note = (f'"*" in {done.wildcards} added line(s) means everything to check, why and who'
                     if done.wildcards else None)
    users_json = {"users_assigned": done.users} if done.user_lines else {}
    matrix = done.__dict__["matrix"]
    if done.dry_run:
        lines = _preview(done) + [f"would add: {e.casbin()}" for e in done.added]
        lines += [f"would refuse {e.where}: {e.casbin()}: {refusal(matrix, *e.fields)}" for e, _ in done.refused]
        lines.append(f"dry run: {len(done.added)} to add, {len(done.refused)} to refuse, {done.already} already "
                     "there; nothing written")
        if wildcard_note:
            lines.append(wildcard_note)
        ctx.out.emit({"add": [e.casbin() for e in done.added], "refuse": [e.where for e, _ in done.refused],
                      "already": done.already, "written": False, **users_json}, "\n".join(lines))
        if done.refused:
            raise Refused(f"refused: {len(done.refused)} line(s) would close a cycle: a real run writes nothing"
                          + (" but the rest" if args.skip_refused else " (--skip-refused imports the rest)"))
        return
    summary = ""
    if done.user_lines:
        summary = f"; {done.users} user{'' if done.users == 1 else 's'} assigned"
    lines = [f"imported {len(done.added)} of {done.entries} entries into {args.app}"
             + (" (created: it holds only what the file holds)" if done.created else "") + summary]
    if wildcard_note:
        lines.append(wildcard_note)
    ctx.out.emit({"imported": len(done.added), "refused": [e.where for e, _ in done.refused],
                  "already": done.already, "created": done.created, **users_json}, "\n".join(lines))
    if done.refused:
        raise Refused([f"{e.where}: {reason}" for e, reason in done.refused]
                      + [f"refused: {len(done.refused)} line(s) left out (--skip-refused)"])
