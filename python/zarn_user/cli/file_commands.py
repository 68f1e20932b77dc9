"""The commands about whole files: `test` (playground and assertion files), `export
--format playground`, and the Casbin domain forms of import and export (`--split-domains`,
`--join-domains`). They extend the commands of the same name declared before them."""

from __future__ import annotations

from . import commands, web_commands
from .command import Command, arg
from .errors import BadInput, Refused

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse

    from .context import Context

    Args = argparse.Namespace


def _read(path: str) -> str:
    try:
        with open(path, encoding="utf-8-sig") as f:
            return f.read()
    except OSError as exc:
        raise BadInput(f"cannot read {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise BadInput(f"cannot read {path}: not UTF-8 text") from None


# --- test ---------------------------------------------------------------------------------


def cmd_test(args: Args, ctx: Context) -> None:
    """A file that holds an application runs on it in memory, unless --db names a store to
    run its assertions against; an assertions file runs against the store."""
    import zarn_user.role_matrix as rm
    from zarn_user.core import assertions, playground

    from .users_io import assignments

    store, out = ctx.store, ctx.out
    text = _read(args.file)
    try:
        found = playground.parse(text, args.file)
        in_memory = found.matrix is not None and getattr(args, "db", None) is None
        if not in_memory:
            store.open(create=False)
            apps = set(rm.RoleMatrix.keys())
            assertions.missing_apps(found.assertions, apps.__contains__, args.file)
    except playground.BadFile as exc:
        raise BadInput("\n".join(exc.lines)) from None
    if in_memory:
        subject = found.subject()
        outcomes = playground.run(found.assertions, lambda app: subject)
    else:
        outcomes = playground.run(found.assertions,
                                  lambda app: playground.Subject(store.load(app), assignments(app)))
    failed = [o for o in outcomes if not o.holds]
    lines = "\n".join(f"{o.message(args.file)}\n  {o.detail}" for o in failed)
    out.emit([o.to_json() for o in outcomes], lines or f"{len(outcomes)} assertion(s) hold")
    if failed:
        raise Refused(f"{len(failed)} of {len(outcomes)} assertion(s) fail")


# --- export -------------------------------------------------------------------------------


def cmd_export(args: Args, ctx: Context) -> None:
    from .render import write_text

    if args.join_domains:
        from zarn_user.core import tenants

        if args.format != "casbin":
            raise BadInput("--join-domains writes a Casbin file: give --format casbin")
        ctx.store.open(create=False)
        text = tenants.join(args.app)
    elif args.format == "playground":
        from zarn_user.core import playground

        from .users_io import assignments

        matrix = ctx.store.load(args.app)
        text = playground.write(matrix, assignments(args.app))
    else:
        return commands.cmd_export(args, ctx)
    if args.output:
        write_text(args.output, text)
        ctx.out.note(f"wrote {args.output}")
    else:
        ctx.out.write(text)


# --- import -------------------------------------------------------------------------------


def cmd_import(args: Args, ctx: Context) -> None:
    if not args.split_domains:
        return commands.cmd_import(args, ctx)
    from zarn_user.core import tenants

    if args.format == "json":
        raise BadInput("--split-domains reads a Casbin file with domains, not JSON")
    if args.skip_refused or args.merge_builtin:
        raise BadInput("--split-domains imports all or nothing into new applications: "
                       "--skip-refused and --merge-builtin do not apply")
    import zarn_user.role_matrix as rm

    split = tenants.read(args.file, _read(args.file), args.app)
    existing: set[str] = set()
    if ctx.store.exists():
        ctx.store.open(create=False)
        existing = set(rm.RoleMatrix.keys())
    made = tenants.plan(args.app, split, existing, args.literal, bool(getattr(args, "allow_superuser", False)))
    for note in split.notes:
        ctx.out.note(f"note: {note}")
    data = {"applications": [t.to_json() for t in made]}
    if args.dry_run:
        ctx.out.emit({**data, "written": False},
                     "\n".join(["would create " + t.summary() for t in made] + ["dry run: nothing written"]))
        return
    ctx.store.open(create=True)
    ctx.store.writing = True
    tenants.write(made)
    lines = sum(len(entries) for entries in split.domains.values())
    ctx.out.emit({**data, "written": True}, "\n".join(
        [f"imported {lines} lines into {len(made)} applications, one per domain"] + [t.summary() for t in made]))


# --- serve FILE ---------------------------------------------------------------------------


def cmd_serve(args: Args, ctx: Context) -> None:
    """Named tokens; with a playground file, the console on a store in memory holding the
    file's application, the file open on the page to edit, run and save back."""
    import os
    import secrets

    from zarn_user.core import playground

    from .context import Context
    from ..core.store import Store

    from ..web import tokens

    try:
        named = tokens.parse(args.token or [])
        if args.token_file:
            from_file = tokens.read_file(args.token_file)
            for name in set(named) & set(from_file):
                raise tokens.TokenError(f"the name {name!r} is given to two tokens (--token and {args.token_file})")
            named.update(from_file)
        if not named and os.environ.get("ZARN_ROLES_TOKEN"):
            named = tokens.parse([os.environ["ZARN_ROLES_TOKEN"]], "$ZARN_ROLES_TOKEN")
    except tokens.TokenError as exc:
        raise BadInput(str(exc)) from None
    args.token = named or None
    if args.file is None:
        return web_commands.cmd_serve(args, ctx)
    if getattr(args, "db", None) is not None:
        raise BadInput("serve FILE serves the file's application from memory, --db a store: give one of them")
    try:
        found = playground.parse(_read(args.file), args.file)
    except playground.BadFile as exc:
        raise BadInput("\n".join(exc.lines)) from None
    if found.matrix is None or found.users is None:
        raise BadInput(f"{args.file} holds no application (roles and users): serve FILE needs a playground file")
    if args.token is None:
        secret = secrets.token_urlsafe(12)
        args.token = {tokens.UNNAMED: secret}
        ctx.out.note(f"zarn-roles: changes and saving {args.file} need the token {secret} "
                     f"(or open the page with #token={secret} after its address)")
    args.playground = os.path.abspath(args.file)
    store = Store("memory:")
    try:
        store.open(create=True)
        found.matrix.save()
        if found.users.assignments:
            found.users.save()
        web_commands.cmd_serve(args, Context(store, ctx.out, ctx.run))
    finally:
        store.close()


def _base(name: str, table: list[Command] = commands.COMMANDS) -> Command:
    return next(c for c in table if c.name == name)


def _serve() -> Command:
    base = _base("serve", web_commands.COMMANDS)
    named = (arg("--token", action="append", metavar="[NAME=]TOKEN",
                 help="a token writes need as 'Authorization: Bearer TOKEN'; repeatable, each with a name that "
                      "the changes made with it are logged under (without one: web; default: $ZARN_ROLES_TOKEN; "
                      "none: read-only)"),
             arg("--token-file", metavar="FILE", help="NAME=TOKEN lines, as --token"))
    arguments = [a for a in base.arguments if a.names != ("--token",)]
    return Command("serve", cmd_serve, base.help + "; with FILE, a playground file's application from memory, "
                   "the file open on the page", (arg("file", metavar="FILE", nargs="?",
                                                     help="a playground file to serve, edit and save back"),
                                                 *arguments, *named), epilog=base.epilog)


def _export() -> Command:
    base = _base("export")
    arguments = tuple(arg("--format", choices=["json", "casbin", "playground"], default="json",
                          help="playground: a TOML file with the roles, users and assertions, for zarn-roles test")
                      if a.names == ("--format",) else a for a in base.arguments)
    return Command("export", cmd_export, "the stored document as JSON, Casbin policy CSV or a playground file",
                   arguments + (arg("--join-domains", action="store_true",
                                    help="write the applications APP-DOMAIN as one Casbin file with domains"),))


def _import() -> Command:
    base = _base("import")
    return Command("import", cmd_import, base.help, base.arguments + (arg(
        "--split-domains", action="store_true",
        help="a Casbin file with domains: one new application APP-DOMAIN per domain, all or none"),))


COMMANDS = [
    Command("test", cmd_test,
            "run a playground or assertions file: exit 0 all hold, 1 some fail, 2 bad file (a file that holds "
            "an application runs without a store, unless --db is given)",
            (arg("file", metavar="FILE"),)),
    _export(),
    _import(),
    _serve(),
]
