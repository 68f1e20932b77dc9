"""The commands of zarn-roles: each takes the parsed arguments and its context (store,
output). Role and application names are checked against the rules only where a command
creates them; whatever the store holds can be read, changed and removed."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any, Callable

from .command import ACT, ACTS, APP, OBJ, ROLE, Command, arg
from .context import Context
from ..core.errors import BadInput, NotFound, Refused
from ..core.holders import builtin_roles, holdings, known_roles
from ..core.text import check_app as check_new_app
from . import users_io

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix

Args = argparse.Namespace

WILDCARDS = """\
wildcards: the module gives "*" no meaning, but the root policy grants *:* to mean
everything. check, why and who treat a granted "*" as matching any object or any
action, and say so when a wildcard decided the answer; resolve and show print what is
stored."""


def _unknown_roles(matrix: RoleMatrix, roles: list[str]) -> list[str]:
    known = set(known_roles(matrix))
    return [r for r in dict.fromkeys(roles) if r not in known]


def _known(matrix: RoleMatrix, roles: list[str]) -> None:
    """NotFound for the first role the application does not hold."""
    for role in _unknown_roles(matrix, roles):
        raise NotFound(f"unknown role {role!r} in application {matrix.name!r}", what="role", name=role)


def _pairs(obj: str, acts: list[str]) -> list[tuple[str, str]]:
    """The permissions OBJ ACT... name."""
    if ":" in obj and acts and all(":" in a for a in acts):  # the OBJ:ACT form of other tools
        o, _, a = obj.rpartition(":")
        raise BadInput(f"permissions are given as OBJ ACT [ACT...]: write {o} {a}, not {obj}")
    if not acts:
        raise BadInput(f"no action given for {obj}: permissions are given as OBJ ACT [ACT...]")
    return [(obj, act) for act in acts]


def _content(ctx: Context, content: Any) -> None:
    from .render import content_text

    ctx.out.emit(content.to_display(), content_text(content))


def _written(ctx: Context, written: Any, extra: dict[str, Any] | None = None) -> None:
    """The answer of a change: the role's contents, then what was refused, if anything."""
    from .render import content_data_text

    if written.changed:
        ctx.store.committed = True
    ctx.out.emit({**written.result, **(extra or {})}, content_data_text(written.result))
    if written.refusals:
        raise Refused(written.refusals)


def _change(ctx: Context, app: str) -> Any:
    """The store's engine, for a command that goes on to change `app`."""
    ctx.store.open(create=False)
    ctx.store.writing = True
    return ctx.store.engine


def _allow(ctx: Context, args: Args, what: Callable[[bool], Any]) -> Any:
    """Run a change; when it would give a path to *:* not asked for, ask on a terminal."""
    from ..core.errors import Superuser

    try:
        return what(bool(getattr(args, "allow_superuser", False)))
    except Superuser as exc:
        if not ctx.interactive or getattr(args, "allow_superuser", False):
            raise
        print("\n".join(exc.lines[:-1]) + "\nallow it? [y/N] ", end="", file=sys.stderr, flush=True)
        if sys.stdin.readline().strip().lower() not in ("y", "yes"):
            raise
        return what(True)


# --- applications -------------------------------------------------------------------------


def cmd_init(args: Args, ctx: Context) -> None:
    from ..core import ops

    check_new_app(args.app)
    ctx.store.open(create=True)
    ctx.store.writing = True
    ops.create(args.app, ctx.store.engine)
    ctx.store.committed = True
    ctx.out.emit({"created": args.app}, f"created {args.app} (root holds *:*, admin contains root)")


def cmd_list(args: Args, ctx: Context) -> None:
    import zarn_user.role_matrix as rm

    ctx.store.open(create=False)
    keys = rm.RoleMatrix.keys()
    ctx.out.emit(keys, "\n".join(keys) if keys else "(no applications)")


def cmd_delete(args: Args, ctx: Context) -> None:
    from zarn_engine import ConflictError

    import zarn_user.role_matrix as rm

    matrix = ctx.store.load(args.app)
    if not args.yes:
        if not ctx.interactive:
            raise BadInput(f"not deleted: delete asks before it deletes; give --yes to delete {args.app} "
                           "without asking")
        roles = len(known_roles(matrix))
        print(f"delete {args.app} ({roles} roles, {len(matrix.policies)} permissions)? [y/N] ",
              end="", file=sys.stderr, flush=True)
        if sys.stdin.readline().strip().lower() not in ("y", "yes"):
            raise Refused(f"not deleted: {args.app}")
    ctx.store.writing = True
    try:  # only the version that was read: a change made meanwhile is not deleted unseen
        rm.RoleMatrix.delete(args.app, version=matrix.version)
    except ConflictError:
        raise Refused(f"not deleted: {args.app} changed meanwhile; look at it again") from None
    from . import users_io

    users_io.forget(args.app)
    ctx.out.emit({"deleted": args.app}, f"deleted {args.app}")


# --- reading ------------------------------------------------------------------------------


def cmd_show(args: Args, ctx: Context) -> None:
    from .render import roles_table

    matrix = ctx.store.load(args.app)
    if args.role:
        _known(matrix, [args.role])
        _content(ctx, matrix.get_role_contents(args.role))
        return
    rows = [matrix.get_role_contents(role).to_display() for role in known_roles(matrix)]
    ctx.out.emit(rows, roles_table(rows))


def cmd_resolve(args: Args, ctx: Context) -> None:
    from .render import sorted_permissions

    matrix = ctx.store.load(args.app)
    _known(matrix, args.roles)
    data = matrix.get_implicit_permissions_for_roles(list(args.roles)).to_display()
    text = "\n".join(f"{p['obj']}:{p['act']}" for p in sorted_permissions(data["permissions"]))
    ctx.out.emit(data, text or "(no permissions)")


def _why_data(args: Args, holding: Any) -> dict[str, Any]:
    return {"role": args.role, "permission": {"obj": args.obj, "act": args.act}, "held": holding is not None,
            "path": holding.path if holding else None, "wildcard": bool(holding and holding.wildcard)}


def cmd_why(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app)
    _known(matrix, [args.role])
    holding = holdings(matrix, args.obj, args.act).get(args.role)
    text = (holding.explain(args.obj, args.act) if holding
            else f"{args.role} does not hold {args.obj}:{args.act}")
    ctx.out.emit(_why_data(args, holding), text)
    if holding is None:
        raise Refused("")  # the answer says it: not held


def cmd_check(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app)
    perm = f"{args.obj}:{args.act}"
    unknown = bool(_unknown_roles(matrix, [args.role]))
    holding = None if unknown else holdings(matrix, args.obj, args.act).get(args.role)
    if holding is None:
        ctx.out.emit(_why_data(args, None), f"no: {args.role} does not hold {perm}")
        raise Refused(f"unknown role {args.role!r} in application {args.app!r}" if unknown else "")
    text = f"yes: {holding.explain(args.obj, args.act)}" if args.explain else f"yes: {args.role} holds {perm}"
    ctx.out.emit(_why_data(args, holding), text)


def cmd_who(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app)
    found = list(holdings(matrix, args.obj, args.act).values())
    if args.no_builtin:
        left_out = builtin_roles()
        found = [h for h in found if h.role not in left_out]
    text = "\n".join(h.explain(args.obj, args.act) for h in found)
    ctx.out.emit([h.to_json() for h in found], text or f"no role holds {args.obj}:{args.act}")


# --- permissions --------------------------------------------------------------------------


def cmd_grant(args: Args, ctx: Context) -> None:
    from ..core import ops

    pairs = _pairs(args.obj, args.acts)
    engine = _change(ctx, args.app)
    _written(ctx, _allow(ctx, args, lambda allow: ops.grant(
        args.app, args.role, pairs, engine=engine, allow_superuser=allow, literal=args.literal)))


def cmd_set_permissions(args: Args, ctx: Context) -> None:
    from ..core import ops

    pairs = _pairs(args.obj, args.acts) if args.obj is not None else []
    engine = _change(ctx, args.app)
    _written(ctx, _allow(ctx, args, lambda allow: ops.set_permissions(
        args.app, args.role, pairs, engine=engine, allow_superuser=allow, literal=args.literal)))


def cmd_revoke(args: Args, ctx: Context) -> None:
    from ..core import ops

    pairs = _pairs(args.obj, args.acts)
    _written(ctx, ops.revoke(args.app, args.role, pairs, engine=_change(ctx, args.app)))


# --- sub-roles ----------------------------------------------------------------------------


def cmd_include(args: Args, ctx: Context) -> None:
    from ..core import ops

    from ..core.errors import Cycle

    engine = _change(ctx, args.app)
    try:
        written = _allow(ctx, args, lambda allow: ops.include(args.app, args.role, args.sub_roles, engine=engine,
                                                               allow_superuser=allow))
    except Cycle as exc:  # nothing added: the role as it stays, then why
        content = exc.fields.get("content")
        if content is not None:
            from .render import content_data_text

            refused = [r["role"] for r in exc.fields["refused"]]
            ctx.out.emit({**content, "refused": refused}, content_data_text(content))
        raise
    refused = [s for s in dict.fromkeys(args.sub_roles) if s not in written.result["roles"]]
    _written(ctx, written, {"refused": refused})


def cmd_set_sub_roles(args: Args, ctx: Context) -> None:
    from ..core import ops

    engine = _change(ctx, args.app)
    _written(ctx, _allow(ctx, args, lambda allow: ops.set_sub_roles(
        args.app, args.role, args.sub_roles, engine=engine, allow_superuser=allow)))


def cmd_exclude(args: Args, ctx: Context) -> None:
    from ..core import ops

    _written(ctx, ops.exclude(args.app, args.role, args.sub_roles, engine=_change(ctx, args.app)))


# --- files --------------------------------------------------------------------------------


def cmd_graph(args: Args, ctx: Context) -> None:
    from .render import draw, graph_format, graph_text

    fmt = graph_format(args.output, args.format)
    text = graph_text(ctx.store.load(args.app), fmt)
    if not args.output:
        ctx.out.line(text)
        return
    draw(args.output, text)
    ctx.out.note(f"wrote {args.output}")


def cmd_export(args: Args, ctx: Context) -> None:
    from ..core import transfer
    from .render import write_text

    matrix = ctx.store.load(args.app)
    text = transfer.export(matrix, users_io.assignments(args.app), args.format)
    if args.output:
        write_text(args.output, text)
        ctx.out.note(f"wrote {args.output}")
    else:
        ctx.out.write(text)


def cmd_check_text(args: Args, ctx: Context) -> None:
    """What the application stores that breaks the text rule (stored before it held)."""
    from ..core import ops
    from ..core.text import TEXT_RULE

    ctx.store.load(args.app)
    found = ops.text_problems(args.app, ctx.store.engine)
    lines = [f"{p['where']}: {p['error']}; repair makes it {ascii(p['repaired'])}" for p in found]
    ctx.out.emit(found, "\n".join(lines) or f"{args.app}: every stored string follows the rule ({TEXT_RULE})")
    if found:
        raise Refused(f"{len(found)} stored string(s) break the rule: zarn-roles repair {args.app} rewrites them")


def cmd_repair(args: Args, ctx: Context) -> None:
    from ..core import ops

    ctx.store.load(args.app, change=True)
    policies, users = ops.repair_text(args.app, ctx.store.engine)
    ctx.store.committed = bool(policies or users)
    ctx.out.emit({"permissions": policies, "assignments": users},
                 f"repaired {policies} permission(s) and {users} user assignment(s) of {args.app}")


def cmd_import(args: Args, ctx: Context) -> None:
    from .transfer import import_file

    import_file(args, ctx)


# --- the table ----------------------------------------------------------------------------

_SUB_ROLES = arg("sub_roles", metavar="SUBROLE", nargs="+", complete="roles")
LITERAL = arg("--literal", action="store_true",
              help="store Casbin patterns and conditions (keyMatch, glob, regex, r.obj...) as literal text")
SUPERUSER = arg("--allow-superuser", "--yes", dest="allow_superuser", action="store_true",
                help="allow the change to give a role or user everything (*:*), without asking")

COMMANDS = [
    Command("init", cmd_init, "create an application with the root policy and the admin group", (APP,)),
    Command("list", cmd_list, "list the applications"),
    Command("delete", cmd_delete,
            "delete an application (the version just read; not one changed meanwhile); asks first on a terminal",
            (APP, arg("--yes", "-y", action="store_true", help="delete without asking"))),
    Command("show", cmd_show, "a role's direct contents, or every role as a table",
            (APP, arg("role", metavar="ROLE", nargs="?", complete="roles"))),
    Command("grant", cmd_grant, "give a role permissions: an object and one or more actions",
            (APP, ROLE, OBJ, ACTS, LITERAL, SUPERUSER)),
    Command("revoke", cmd_revoke, "take permissions away from a role (the rest stay)", (APP, ROLE, OBJ, ACTS)),
    Command("set-permissions", cmd_set_permissions,
            "replace a role's permissions with these actions on OBJ (none: revoke all)",
            (APP, ROLE, arg("obj", metavar="OBJ", nargs="?"), ACTS, LITERAL, SUPERUSER)),
    Command("include", cmd_include, "make roles sub-roles of a role", (APP, ROLE, _SUB_ROLES, SUPERUSER)),
    Command("exclude", cmd_exclude, "take sub-roles away from a role (the others stay)", (APP, ROLE, _SUB_ROLES)),
    Command("set-sub-roles", cmd_set_sub_roles, "replace a role's sub-roles (none: remove all)",
            (APP, ROLE, arg("sub_roles", metavar="SUBROLE", nargs="*", complete="roles"), SUPERUSER)),
    Command("resolve", cmd_resolve, "every permission the roles hold, through sub-roles at any depth",
            (APP, arg("roles", metavar="ROLE", nargs="+", complete="roles"))),
    Command("why", cmd_why, "whether a role holds a permission, and through which sub-roles",
            (APP, ROLE, OBJ, ACT), epilog=WILDCARDS),
    Command("check", cmd_check, "exit status 0 when the role holds the permission, 1 when not (or no such role)",
            (APP, ROLE, OBJ, ACT, arg("--explain", action="store_true", help="say through which sub-roles")),
            epilog=WILDCARDS),
    Command("who", cmd_who, "every role that holds a permission, each with its shortest path",
            (APP, OBJ, ACT, arg("--no-builtin", action="store_true", help="leave out the built-in roles (root, admin)")),
            epilog=WILDCARDS),
    Command("graph", cmd_graph, "the containment hierarchy as Graphviz DOT or Mermaid, or a picture",
            (APP, arg("--format", choices=["dot", "mermaid"], help="default: from the extension of FILE, else dot"),
             arg("--output", "-o", metavar="FILE", help=".dot or .gv, .mmd, or .png or .svg (drawn by Graphviz)"))),
    Command("export", cmd_export, "the stored document as JSON, or as Casbin policy CSV",
            (APP, arg("--format", choices=["json", "casbin"], default="json"),
             arg("--output", "-o", metavar="FILE", help="write to FILE instead of standard output"))),
    Command("check-text", cmd_check_text,
            "list the stored strings that break the text rule (exit status 1 when there are any)", (APP,)),
    Command("repair", cmd_repair, "rewrite the stored strings that break the text rule (see check-text)", (APP,)),
    Command("import", cmd_import,
            "add a JSON document's or a Casbin CSV file's policies and groups; all or nothing; "
            "an application that does not exist is created without the built-in roles",
            (APP, arg("file", metavar="FILE"),
             arg("--format", choices=["auto", "json", "casbin"], default="auto"),
             arg("--dry-run", action="store_true", help="say what would be added and refused; write nothing"),
             arg("--skip-refused", action="store_true",
                 help="import the rest when lines are refused (a cycle); without it nothing is written"),
             arg("--merge-builtin", action="store_true",
                 help="merge roles named like the built-in ones (admin, root) into them, on purpose"),
             LITERAL, SUPERUSER)),
]
