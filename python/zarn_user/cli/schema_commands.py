"""The store's schema: `zarn-roles migrate` (the README's Upgrading tells the procedure)."""

from __future__ import annotations

from .command import Command, arg
from .errors import BadInput

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse

    from .context import Context


def cmd_migrate(args: argparse.Namespace, ctx: Context) -> None:
    if args.print_grants is not None:
        from zarn_engine.postgresql import grants

        lines = grants(args.print_grants, args.read_only, args.schema)
        ctx.out.emit(lines, "\n".join(lines))
        return
    import zarn_engine

    if not ctx.store.exists():
        raise BadInput(f"there is no database at {ctx.store.path} (zarn-roles init APP creates one; "
                       "--db or $ZARN_ROLES_DB name another)")
    ctx.store.writing = True
    version, oldest = zarn_engine.migrate(ctx.store.location, finish=args.finish)
    if oldest == version:
        text = f"schema {version}, finished"
    else:
        text = (f"schema {version}; software of schema {oldest} may still write: once none runs, "
                "zarn-roles migrate --finish")
    ctx.out.emit({"schema": version, "oldest": oldest}, text)


COMMANDS = [
    Command("migrate", cmd_migrate, "bring the store's tables to this release, or create them (as their owner)", (
        arg("--finish", action="store_true",
            help="the second step, once no worker of the earlier release runs: they can no longer write"),
        arg("--print-grants", metavar="ROLE",
            help="print the PostgreSQL grants that let ROLE use the store (reads and writes of rows)"),
        arg("--read-only", action="store_true", help="with --print-grants: grants for reading only"),
        arg("--schema", default="public", help="with --print-grants: the PostgreSQL schema of the tables"),
    )),
]
