"""The commands of zarn-roles: each takes the parsed arguments and its context (store,
output). Role and application names are checked against the rules only where a command
creates them; whatever the store holds can be read, changed and removed."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, Any

from .command import ACT, ACTS, APP, OBJ, ROLE, Command, arg
from .context import Context
from .errors import BadInput, Refused
from ..core.holders import builtin_roles, containment_path, holdings, known_roles, refusal
from ..core.text import check_app as check_new_app, check_role as check_new_role, check_value

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
    """BadInput for the first role the application does not hold."""
    for role in _unknown_roles(matrix, roles):
        raise BadInput(f"unknown role {role!r} in application {matrix.name!r}")


def _role_to_change(matrix: RoleMatrix, role: str) -> str:
    """A role that a command changes: any the application holds, or a new one that follows
    the role-name rule."""
    return role if role in set(known_roles(matrix)) else check_new_role(role)


def _permissions(obj: str, acts: list[str], check: bool = True) -> list[dict[str, str]]:
    """The permissions OBJ ACT... name; `check`: refuse values that cannot be stored (not
    needed to take away what is stored)."""
    if ":" in obj and all(":" in a for a in acts):  # the OBJ:ACT form of other tools
        o, _, a = obj.rpartition(":")
        raise BadInput(f"permissions are given as OBJ ACT [ACT...]: write {o} {a}, not {obj}")
    if not acts:
        raise BadInput(f"no action given for {obj}: permissions are given as OBJ ACT [ACT...]")
    if check:
        check_value("object", obj)
        for act in acts:
            check_value("action", act)
    return [{"obj": obj, "act": act} for act in acts]


def _content(ctx: Context, content: Any) -> None:
    from .render import content_text

    ctx.out.emit(content.to_display(), content_text(content))


# --- applications -------------------------------------------------------------------------


def cmd_init(args: Args, ctx: Context) -> None:
    from zarn_engine import ConflictError

    import zarn_user.role_matrix as rm

    matrix = rm.RoleMatrix(name=check_new_app(args.app))
    ctx.store.open(create=True)
    ctx.store.writing = True
    try:
        matrix.save()
    except ConflictError:
        raise Refused(f"not created: application {args.app!r} exists already") from None
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
    matrix = ctx.store.load(args.app, change=True)
    role = _role_to_change(matrix, args.role)
    _content(ctx, matrix.add_role_permissions(role, _permissions(args.obj, args.acts)))


def cmd_set_permissions(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app, change=True)
    role = _role_to_change(matrix, args.role)
    wanted = _permissions(args.obj, args.acts) if args.obj is not None else []
    matrix.get_implicit_permissions_for_roles([role])  # a new role becomes a node first
    _content(ctx, matrix.set_role_permissions(role, wanted))


def cmd_revoke(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app, change=True)
    _known(matrix, [args.role])
    revoked = {(p["obj"], p["act"]) for p in _permissions(args.obj, args.acts, check=False)}
    own = matrix.get_role_contents(args.role).to_display()["permissions"]
    held = {(p["obj"], p["act"]) for p in own}
    missing = [pair for pair in dict.fromkeys((args.obj, a) for a in args.acts) if pair not in held]
    if len(missing) < len(revoked):
        _content(ctx, matrix.set_role_permissions(args.role, [p for p in own if (p["obj"], p["act"]) not in revoked]))
    if missing:
        lines = []
        for obj, act in missing:
            holding = holdings(matrix, obj, act).get(args.role)
            line = f"not revoked: {args.role} is not granted {obj}:{act} directly"
            if holding is not None:
                line += f"; it holds it through {' -> '.join(holding.path)} (revoke it there, or exclude {holding.path[1]})"
            lines.append(line)
        raise Refused("\n".join(lines))


# --- sub-roles ----------------------------------------------------------------------------


def _load_for_sub_roles(args: Args, ctx: Context) -> RoleMatrix:
    matrix = ctx.store.load(args.app, change=True)
    _role_to_change(matrix, args.role)
    _known(matrix, args.sub_roles)
    return matrix


def cmd_include(args: Args, ctx: Context) -> None:
    matrix = _load_for_sub_roles(args, ctx)
    content = matrix.add_role_sub_roles(args.role, args.sub_roles)
    refused = [s for s in dict.fromkeys(args.sub_roles) if s not in content.roles]
    from .render import content_text

    ctx.out.emit({**content.to_display(), "refused": refused}, content_text(content))
    if refused:
        raise Refused("\n".join(refusal(matrix, args.role, s) for s in refused))


def cmd_set_sub_roles(args: Args, ctx: Context) -> None:
    matrix = _load_for_sub_roles(args, ctx)
    content = matrix.set_role_sub_roles(args.role, args.sub_roles)
    _content(ctx, content)
    if content.roles != list(args.sub_roles):
        # The replacement was refused as a whole; name the sub-roles that close a cycle.
        guilty = [s for s in args.sub_roles if s == args.role or containment_path(matrix, s, args.role)]
        raise Refused("\n".join(refusal(matrix, args.role, s) for s in guilty) or "refused")


def cmd_exclude(args: Args, ctx: Context) -> None:
    matrix = ctx.store.load(args.app, change=True)
    _known(matrix, [args.role, *args.sub_roles])
    current = matrix.get_role_contents(args.role).roles
    missing = [s for s in dict.fromkeys(args.sub_roles) if s not in current]
    if len(missing) < len(set(args.sub_roles)):
        _content(ctx, matrix.set_role_sub_roles(args.role, [r for r in current if r not in set(args.sub_roles)]))
    if missing:
        lines = []
        for sub in missing:
            line = f"not excluded: {sub} is no direct sub-role of {args.role}"
            path = containment_path(matrix, args.role, sub)
            if path:
                line += f"; {args.role} contains it through {' -> '.join(path)} (exclude {path[1]}, or {sub} from {path[-2]})"
            lines.append(line)
        raise Refused("\n".join(lines))


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
    from ..core import interchange
    from .render import write_text

    matrix = ctx.store.load(args.app)
    text = (interchange.export_casbin if args.format == "casbin" else interchange.export_json)(matrix)
    if args.format == "casbin":
        from . import users_io

        text += users_io.casbin_lines(args.app)
    if args.output:
        write_text(args.output, text)
        ctx.out.note(f"wrote {args.output}")
    else:
        ctx.out.write(text)


def cmd_import(args: Args, ctx: Context) -> None:
    from .transfer import import_file

    import_file(args, ctx)


# --- the table ----------------------------------------------------------------------------

_SUB_ROLES = arg("sub_roles", metavar="SUBROLE", nargs="+", complete="roles")

COMMANDS = [
    Command("init", cmd_init, "create an application with the root policy and the admin group", (APP,)),
    Command("list", cmd_list, "list the applications"),
    Command("delete", cmd_delete,
            "delete an application (the version just read; not one changed meanwhile); asks first on a terminal",
            (APP, arg("--yes", "-y", action="store_true", help="delete without asking"))),
    Command("show", cmd_show, "a role's direct contents, or every role as a table",
            (APP, arg("role", metavar="ROLE", nargs="?", complete="roles"))),
    Command("grant", cmd_grant, "give a role permissions: an object and one or more actions", (APP, ROLE, OBJ, ACTS)),
    Command("revoke", cmd_revoke, "take permissions away from a role (the rest stay)", (APP, ROLE, OBJ, ACTS)),
    Command("set-permissions", cmd_set_permissions,
            "replace a role's permissions with these actions on OBJ (none: revoke all)",
            (APP, ROLE, arg("obj", metavar="OBJ", nargs="?"), ACTS)),
    Command("include", cmd_include, "make roles sub-roles of a role", (APP, ROLE, _SUB_ROLES)),
    Command("exclude", cmd_exclude, "take sub-roles away from a role (the others stay)", (APP, ROLE, _SUB_ROLES)),
    Command("set-sub-roles", cmd_set_sub_roles, "replace a role's sub-roles (none: remove all)",
            (APP, ROLE, arg("sub_roles", metavar="SUBROLE", nargs="*", complete="roles"))),
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
             arg("--literal", action="store_true",
                 help="store Casbin patterns (keyMatch, glob, regex) as the literal text they are here"))),
]
