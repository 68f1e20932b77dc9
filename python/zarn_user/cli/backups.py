"""`backup` and `restore`: the whole store in one file, and back, while workers run.

A SQLite store is backed up as a SQLite file (SQLite's online backup: one moment of the
database, writers going on meanwhile), any store as JSON lines (`--format jsonl`, the form
for PostgreSQL): every application with its users and history. A restore checks the file
whole, then makes the store hold what it holds in one transaction; running workers load what
was restored (new versions) and stop serving what it took away (see zarn_engine.backup)."""

from __future__ import annotations

import os
import sys

from .command import Command, arg
from .errors import BadInput, Refused

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse

    from .context import Context

    Args = argparse.Namespace

_EXTENSIONS = {".jsonl": "jsonl", ".json": "jsonl", ".ndjson": "jsonl"}


def _same_file(a: str, b: str | None) -> bool:
    if b is None:
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def cmd_backup(args: Args, ctx: Context) -> None:
    from zarn_engine import SQLiteEngine
    from zarn_engine.backup import backup

    import zarn_user.role_matrix as rm

    ctx.store.open(create=False)
    engine = ctx.store.engine
    assert engine is not None  # opened above
    path = args.file
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise BadInput(f"cannot write the backup {path}: folder {folder} does not exist")
    if os.path.isdir(path):
        raise BadInput(f"{path} is a folder: name the backup file")
    if _same_file(path, ctx.store.path) or any(_same_file(path, f"{ctx.store.path}{end}") for end in ("-wal", "-shm")):
        raise BadInput(f"{path} is the database itself: name another file")
    form = args.format or _EXTENSIONS.get(os.path.splitext(path)[1].lower())
    if form is None:
        form = "sqlite" if isinstance(engine, SQLiteEngine) else "jsonl"
    if form == "sqlite" and not isinstance(engine, SQLiteEngine):
        raise BadInput("--format sqlite backs up SQLite stores; back this store up as jsonl")
    try:
        done = backup(engine, path, form)
    except OSError as exc:  # the file's folder: not writable, full
        raise BadInput(f"cannot write the backup {path}: {exc.strerror or exc}") from None
    apps = len(engine.keys(rm.RoleMatrix._collection()))
    done["file"] = path
    ctx.out.emit(done, f"backed up {done['documents']} documents ({apps} applications, their users and history) "
                       f"to {path} ({form})")


def cmd_restore(args: Args, ctx: Context) -> None:
    from zarn_engine.backup import BackupError, read

    path = args.file
    if _same_file(path, ctx.store.path):
        raise BadInput(f"{path} is the database itself: name a backup")
    try:
        dump = read(path)
    except BackupError as exc:
        raise BadInput(f"not restored: {exc}") from None
    ctx.store.open(create=True)  # a store lost whole is restored into a new file
    engine = ctx.store.engine
    assert engine is not None  # opened above
    if not args.yes:
        if not ctx.interactive:
            raise BadInput(f"not restored: restore asks before it replaces what the store holds; give --yes "
                           f"to restore {path} without asking")
        print(f"restore {path} ({len(dump['documents'])} documents) over {ctx.store.location}? Documents that "
              f"the backup does not hold are deleted. [y/N] ", end="", file=sys.stderr, flush=True)
        if sys.stdin.readline().strip().lower() not in ("y", "yes"):
            raise Refused(f"not restored: {path}")
    from zarn_engine.changes import who

    ctx.store.writing = True
    plan = engine.restore(dump, who())
    unchanged = len(dump["documents"]) - len(plan.exact) - len(plan.rewrite)
    data = {"file": path, "restored": len(plan.exact), "new_versions": len(plan.rewrite),
            "deleted": len(plan.remove), "unchanged": unchanged}
    ctx.out.emit(data, f"restored {path}: {len(plan.exact)} documents brought back as they were, "
                       f"{len(plan.rewrite)} written as new versions, {len(plan.remove)} deleted, "
                       f"{unchanged} unchanged")


COMMANDS = [
    Command("backup", cmd_backup,
            "write the whole store (every application, its users and history) to FILE, while it runs",
            (arg("file", metavar="FILE"),
             arg("--format", choices=["sqlite", "jsonl"],
                 help="sqlite (a SQLite store's default: a database file) or jsonl (JSON lines; the default "
                      "for PostgreSQL and for FILE.jsonl)")),
            epilog="The file is written whole or not at all (a temporary file renamed into place)."),
    Command("restore", cmd_restore,
            "make the store hold what backup FILE holds, in one transaction; asks first on a terminal",
            (arg("file", metavar="FILE"), arg("--yes", "-y", action="store_true", help="restore without asking")),
            epilog="Documents the backup does not hold are deleted. Documents the store has held are written as "
                   "new versions, so running workers load them and stop serving what the backup does not hold; "
                   "a store that never held a document gets it back as it was, history included."),
]
