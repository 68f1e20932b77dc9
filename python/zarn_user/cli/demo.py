"""`zarn-roles demo`: builds a small application in a temporary database and shows each
command as a user types it, with all it prints (standard output and error, in order, as on
a terminal)."""

from __future__ import annotations

import os

from .command import Command

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from .context import Context

STATUS = ' || echo "exit status $?"'  # shown after a command that ends with another status than 0

# {tmp}: the temporary folder of the tour.
TOUR = [
    "init bookshop",
    "grant bookshop reader book read",
    "grant bookshop reader review read",
    "grant bookshop writer review write",
    "grant bookshop clerk order read write",
    "grant bookshop stocker stock read write",
    "grant bookshop accountant invoice read write",
    "grant bookshop auditor invoice read",
    "grant bookshop support customer read",
    "grant bookshop editor book write",
    "include bookshop writer reader",
    "include bookshop editor writer",
    "include bookshop sales clerk support",
    "include bookshop warehouse stocker clerk",
    "include bookshop finance accountant auditor",
    "include bookshop manager sales warehouse finance editor",
    "include bookshop reader manager",
    "show bookshop",
    "show bookshop manager",
    "resolve bookshop warehouse",
    "why bookshop manager review read",
    "check bookshop sales invoice read",
    "who bookshop invoice read --no-builtin",
    "check bookshop admin invoice refund --explain",
    "revoke bookshop clerk order write",
    "set-sub-roles bookshop finance auditor",
    "resolve bookshop finance",
    "graph bookshop --format mermaid",
    "export bookshop --format casbin -o {tmp}/bookshop.csv",
    "import bookshop-copy {tmp}/bookshop.csv",
    "resolve bookshop-copy manager",
    "list",
]


def cmd_demo(args: argparse.Namespace, ctx: Context) -> None:
    import contextlib
    import io
    import shlex
    import tempfile

    out = ctx.out
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "demo.sqlite3")
        out.line("# a bookshop: a dozen roles in three levels, in a temporary database")
        out.line(f"$ export ZARN_ROLES_DB={db}")
        for step in TOUR:
            if out.closed:  # the reader went away: the rest of the tour is for nobody
                return
            argv = shlex.split(step.format(tmp=tmp))
            # Both streams into one, in order, as a terminal shows them.
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(printed):
                status = ctx.run(["--db", db, *argv])
            out.line()
            out.line(f"$ zarn-roles {shlex.join(argv)}" + (STATUS if status else ""))
            out.write(printed.getvalue())
            if status:
                out.line(f"exit status {status}")
        out.line()
        out.line("# done")


COMMANDS = [
    Command("demo", cmd_demo, "build a small application in a temporary database and tour the commands"),
]
