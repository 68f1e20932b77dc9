"""The zarn-roles entry point: the parser made from the command table, and the one place
where a command's end becomes an exit status and a message."""

from __future__ import annotations

import sys

from .command import Command, arg
from ..core.errors import DoorError, NotFound
from .context import Context, Output, OutputFailed
from .errors import EXIT_STATUSES, INTERNAL, REFUSED, UNREPORTED, BadInput, outcome
from ..core.store import DEFAULT_DB, Store

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse
    from typing import NoReturn

# The modules whose COMMANDS make up the command line, in the order of --help (this module's
# own, the shell completion, come last).
COMMAND_MODULES = ["zarn_user.cli.commands", "zarn_user.cli.demo", "zarn_user.cli.web_commands",
                   "zarn_user.cli.user_commands", "zarn_user.cli.history", "zarn_user.cli.backups",
                   "zarn_user.cli.file_commands", "zarn_user.cli.schema_commands"]

def commands() -> list[Command]:
    import importlib

    # A later module may extend a command by declaring one of the same name: it takes the
    # earlier one's place.
    found: dict[str, Command] = {}
    for name in COMMAND_MODULES:
        for command in importlib.import_module(name).COMMANDS:
            found[command.name] = command
    return list(found.values()) + COMMANDS


def _version() -> str:
    import zarn_user

    version: str = zarn_user.__version__
    return version


def parser() -> argparse.ArgumentParser:
    import argparse

    from .commands import WILDCARDS

    class _Parser(argparse.ArgumentParser):
        def error(self, message: str) -> NoReturn:  # one line, through the error boundary
            raise BadInput(f"{message} (see: {self.prog} --help)")

    # --db and --json are taken before or after the command: the subcommands know them too,
    # without a default of their own, so a value given after the command wins.
    common = _Parser(add_help=False)
    common.add_argument("--db", default=argparse.SUPPRESS, metavar="DB",
                        help=f"SQLite file, sqlite:///PATH or postgresql://... (default: $ZARN_ROLES_DB or {DEFAULT_DB})")
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="machine-readable output, and errors as JSON on standard error")
    common.add_argument("--as", dest="who", default=argparse.SUPPRESS, metavar="NAME",
                        help="the name the changes made are logged with (default: $USER)")
    p = _Parser(prog="zarn-roles", description="Manage, explain and draw role matrices.",
                epilog=f"{WILDCARDS}\n\n{EXIT_STATUSES}", formatter_class=argparse.RawDescriptionHelpFormatter,
                parents=[common])
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    for command in commands():
        shown = {} if command.hidden else {"help": command.help}  # no help: not listed
        c = sub.add_parser(command.name, description=command.help, parents=[common], epilog=command.epilog,
                           formatter_class=argparse.RawDescriptionHelpFormatter, **shown)  # type: ignore[arg-type]
        for a in command.arguments:
            action = c.add_argument(*a.names, **a.options)
            if a.complete:
                action.complete = _COMPLETERS[a.complete]  # type: ignore[attr-defined]  # read by shtab
        c.set_defaults(run=command.run)
    return p


def main(argv: list[str] | None = None) -> int:
    """Runs one command line; returns its exit status (see EXIT_STATUSES)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    for stream in (sys.stdout, sys.stderr):  # stored text that breaks the text rule shows escaped
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    out = Output("--json" in argv)
    if argv == ["--version"]:  # without building the parser: start-up time is all it costs
        out.line(f"zarn-roles {_version()}")
        return 0
    store: Store | None = None
    try:
        args = parser().parse_args(argv)
        try:
            import zarn_engine  # noqa: F401
        except ImportError:
            _report(out, INTERNAL, "the document framework is not installed: pip install zarn-framework "
                                   "(from this project: pip install ./framework)")
            return INTERNAL
        store = Store(getattr(args, "db", None))
        from zarn_engine.changes import acting_as

        import os

        with acting_as(getattr(args, "who", None) or os.environ.get("USER") or None):
            args.run(args, Context(store, out, main))
        return 0
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except OutputFailed as exc:
        stored = store is not None and store.committed
        _report(out, UNREPORTED, ("the change is stored, but its report could not be written" if stored
                                  else "the answer could not be written") + f": {exc.cause}")
        return UNREPORTED
    except KeyboardInterrupt:
        if store is not None and store.committed:
            if out.emitted:  # stored and reported: done
                return 0
            _report(out, UNREPORTED, "interrupted: the change is stored, its report was not written")
            return UNREPORTED
        status, message = outcome(KeyboardInterrupt(), store is not None and store.writing)
        _report(out, status, message)
        return status
    except Exception as exc:
        status, message = outcome(exc, store is not None and store.writing)
        if isinstance(exc, NotFound) and exc.what == "application":
            message += " (see: zarn-roles list)"
        _report(out, status, message, exc.code if isinstance(exc, DoorError) else None)
        return status
    finally:
        if store is not None:
            try:
                store.close()
            except (Exception, KeyboardInterrupt):  # the command's outcome stands; nothing is left to undo
                pass


def _report(out: Output, status: int, message: str, code: str | None = None) -> None:
    if not message:  # the answer on standard output says it all (check, why: not held)
        return
    if out.as_json:
        import json

        data: dict[str, object] = {"error": message, "status": status}
        if code is not None:  # the kind of refusal or bad input, as the HTTP API names it
            data["code"] = code
        if "\n" in message:
            data["errors"] = message.splitlines()
        out.note(json.dumps(data))
    else:  # a refusal reads as an answer; anything else names the tool that failed
        out.note(message if status == REFUSED else f"zarn-roles: {message}")


# --- shell completion ---------------------------------------------------------------------

# Application and role names come from the database the command line names (--db), through
# the hidden `names` command.
_BASH_NAMES = r'''
# $1: the word being completed; $2: apps or roles
_zarn_roles_names() {
  local db=() app= i w n=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    case $w in
      --db) db=(--db "${COMP_WORDS[i+1]}"); ((i++)) ;;
      --format|--output|-o) ((i++)) ;;
      -*) ;;
      *) ((n++)); [ $n -eq 2 ] && app=$w ;;
    esac
  done
  if [ "$2" = roles ]; then
    [ -n "$app" ] && compgen -W "$(zarn-roles "${db[@]}" names "$app" 2>/dev/null)" -- "$1"
  else
    compgen -W "$(zarn-roles "${db[@]}" names 2>/dev/null)" -- "$1"
  fi
}
_zarn_roles_apps() { _zarn_roles_names "$1" apps; }
_zarn_roles_roles() { _zarn_roles_names "$1" roles; }
'''

_ZSH_NAMES = r'''
_zarn_roles_names() {
  local -a db names; local app= i n=0
  for ((i = 2; i < CURRENT; i++)); do
    case ${words[i]} in
      --db) db=(--db "${words[i+1]}"); ((i++)) ;;
      --format|--output|-o) ((i++)) ;;
      -*) ;;
      *) ((n++)); [[ $n -eq 2 ]] && app=${words[i]} ;;
    esac
  done
  if [[ $1 = roles ]]; then
    [[ -n $app ]] && names=(${(f)"$(zarn-roles $db names $app 2>/dev/null)"})
  else
    names=(${(f)"$(zarn-roles $db names 2>/dev/null)"})
  fi
  compadd -- $names
}
_zarn_roles_apps() { _zarn_roles_names apps; }
_zarn_roles_roles() { _zarn_roles_names roles; }
'''

_COMPLETERS = {
    kind: {"bash": f"_zarn_roles_{kind}", "zsh": f"_zarn_roles_{kind}",
           "preamble": {"bash": _BASH_NAMES, "zsh": _ZSH_NAMES}}
    for kind in ("apps", "roles")
}


def cmd_completion(args: argparse.Namespace, ctx: Context) -> None:
    import shtab

    ctx.out.write(shtab.complete(parser(), shell=args.shell) + "\n")


def cmd_names(args: argparse.Namespace, ctx: Context) -> None:
    """Application names, or the role names of APP: one a line, for the shell completion."""
    from ..core.holders import known_roles

    import zarn_user.role_matrix as rm

    if args.app is None:
        ctx.store.open(create=False)
        names = rm.RoleMatrix.keys()
    else:
        names = known_roles(ctx.store.load(args.app))
    ctx.out.write("".join(f"{n}\n" for n in names))


COMMANDS = [
    Command("completion", cmd_completion,
            "print a shell completion script (application and role names come from the database)",
            (arg("shell", choices=["bash", "zsh"]),)),
    Command("names", cmd_names, "names for the shell completion", (arg("app", nargs="?"),), hidden=True),
]
