"""zarn-roles: look at, change, explain and exchange role matrices from the command line.

Uses only the public operations of `zarn_user.role_matrix` and the framework's storage.
Exit status: 0 done (for `check`: the role holds the permission), 1 refused or not held,
2 bad input (nothing was written).
"""

from __future__ import annotations

import argparse
import os
import sys

from .store import DEFAULT_DB, BadInput, Refused, Store

WILDCARDS = """\
wildcards: the module gives "*" no meaning, but the root policy grants *:* to mean
everything. check, why and who treat a granted "*" as matching any object or any
action, and say so when a wildcard decided the answer; resolve and show print what is
stored."""


def _version() -> str:
    from zarn_user import __version__

    return __version__


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line, with where to look, instead of the usage block
        self.exit(2, f"{self.prog}: {message} (see: {self.prog} --help)\n")


def parser() -> argparse.ArgumentParser:
    # --db and --json are taken before or after the command: the subcommands know them too,
    # without a default of their own, so a value given after the command wins.
    common = _Parser(add_help=False)
    common.add_argument("--db", default=argparse.SUPPRESS, metavar="DB",
                        help=f"SQLite file, sqlite:///PATH or postgresql://... (default: $ZARN_ROLES_DB or {DEFAULT_DB})")
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS, help="machine-readable output")
    p = _Parser(prog="zarn-roles", description="Manage, explain and draw role matrices.",
                                epilog=WILDCARDS, formatter_class=argparse.RawDescriptionHelpFormatter,
                                parents=[common])
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def add(name, fn, help_text, *arguments, epilog=None):
        c = sub.add_parser(name, help=help_text, description=help_text, parents=[common], epilog=epilog,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        for names, kwargs in arguments:
            c.add_argument(*names, **kwargs)
        c.set_defaults(fn=fn)
        return c

    from . import commands as c
    from . import user_commands as u

    app = (["app"], {"metavar": "APP"})
    role = (["role"], {"metavar": "ROLE"})
    obj = (["obj"], {"metavar": "OBJ"})
    act = (["act"], {"metavar": "ACT"})
    acts = (["acts"], {"metavar": "ACT", "nargs": "*"})
    # A user id in place of the role: `check APP --user USER OBJ ACT`.
    role_or_user = (["role"], {"metavar": "ROLE", "nargs": "?"})
    user = (["--user"], {"metavar": "USER", "help": "a user, through the roles assigned to it"})
    add("init", c.cmd_init, "create an application with the root policy and the admin group", app)
    add("list", c.cmd_list, "list the applications")
    add("delete", c.cmd_delete, "delete an application (the version just read; not one changed meanwhile)", app)
    add("show", u.cmd_show, "a role's direct contents, or every role as a table", app,
        (["role"], {"metavar": "ROLE", "nargs": "?"}), user)
    add("grant", c.cmd_grant, "give a role permissions: an object and one or more actions", app, role, obj, acts)
    add("revoke", c.cmd_revoke, "take permissions away from a role (the rest stay)", app, role, obj, acts)
    add("set-permissions", c.cmd_set_permissions,
        "replace a role's permissions with these actions on OBJ (none: revoke all)", app, role,
        (["obj"], {"metavar": "OBJ", "nargs": "?"}), (["acts"], {"metavar": "ACT", "nargs": "*"}))
    add("include", c.cmd_include, "make roles sub-roles of a role", app, role,
        (["sub_roles"], {"metavar": "SUBROLE", "nargs": "+"}))
    add("exclude", c.cmd_exclude, "take sub-roles away from a role (the others stay)", app, role,
        (["sub_roles"], {"metavar": "SUBROLE", "nargs": "+"}))
    add("set-sub-roles", c.cmd_set_sub_roles, "replace a role's sub-roles (none: remove all)", app, role,
        (["sub_roles"], {"metavar": "SUBROLE", "nargs": "*"}))
    add("resolve", c.cmd_resolve, "every permission the roles hold, through sub-roles at any depth", app,
        (["roles"], {"metavar": "ROLE", "nargs": "+"}))
    add("why", u.cmd_why, "whether a role (or a user) holds a permission, and through which sub-roles", app,
        role_or_user, obj, act, user, epilog=WILDCARDS)
    add("check", u.cmd_check, "exit status 0 when the role (or the user) holds the permission, 1 when not", app,
        role_or_user, obj, act, user,
        (["--explain"], {"action": "store_true", "help": "say through which sub-roles"}), epilog=WILDCARDS)
    add("who", u.cmd_who, "every role (or, with --users, user) that holds a permission, each with its shortest path",
        app, obj, act, (["--users"], {"action": "store_true", "help": "the users holding it, through their roles"}),
        epilog=WILDCARDS)
    add("assign", u.cmd_assign, "give a user roles of the application", app, (["user"], {"metavar": "USER"}),
        (["roles"], {"metavar": "ROLE", "nargs": "+"}))
    add("unassign", u.cmd_unassign, "take roles from a user (the others stay)", app, (["user"], {"metavar": "USER"}),
        (["roles"], {"metavar": "ROLE", "nargs": "+"}))
    add("graph", c.cmd_graph, "the containment hierarchy as Graphviz DOT or Mermaid, or a picture", app,
        (["--format"], {"choices": ["dot", "mermaid"], "default": "dot"}),
        (["--output", "-o"], {"metavar": "FILE", "help": ".dot, .mmd, or .png/.svg (needs Graphviz)"}))
    add("export", c.cmd_export, "the stored document as JSON, or as Casbin policy CSV", app,
        (["--format"], {"choices": ["json", "casbin"], "default": "json"}),
        (["--output", "-o"], {"metavar": "FILE", "help": "write to FILE instead of standard output"}))
    add("import", c.cmd_import, "add a JSON document's or a Casbin CSV file's policies and groups", app,
        (["file"], {"metavar": "FILE"}),
        (["--format"], {"choices": ["auto", "json", "casbin"], "default": "auto"}),
        (["--dry-run"], {"action": "store_true", "help": "say what would be added and refused; write nothing"}))
    add("demo", c.cmd_demo, "build a small application in a temporary database and tour the commands")
    completion = add("completion", None, "print a shell completion script", (["shell"], {"choices": ["bash", "zsh"]}))
    completion.set_defaults(fn=_completion)
    return p


def _completion(args, store, out) -> None:
    import shtab

    print(shtab.complete(parser(), shell=args.shell))


def main(argv: list[str] | None = None) -> int:
    try:
        import zarn_engine  # noqa: F401
    except ImportError:
        print("zarn-roles: the document framework is not installed: pip install zarn-framework "
              "(from this project: pip install ./framework)", file=sys.stderr)
        return 2
    from zarn_engine import StorageError

    from .render import Output

    args = parser().parse_args(argv)
    store = Store(getattr(args, "db", None))
    try:
        args.fn(args, store, Output(getattr(args, "json", False)))
        sys.stdout.flush()
        return 0
    except BadInput as exc:
        print(f"zarn-roles: {exc}", file=sys.stderr)
        return 2
    except Refused as exc:
        if exc.args and exc.args[0]:
            print(exc, file=sys.stderr)
        return 1
    except StorageError as exc:
        print(f"zarn-roles: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, without a traceback at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        print("zarn-roles: output closed before everything was written", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("zarn-roles: interrupted", file=sys.stderr)
        return 2
    finally:
        store.close()


if __name__ == "__main__":
    sys.exit(main())
