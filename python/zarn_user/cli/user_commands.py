"""The commands about users: assign, unassign, and the --user / --users forms of check, why,
who and show; the users of Casbin files (g lines whose subject is a user)."""

from __future__ import annotations

from . import commands
from .command import APP, Command, arg
from .errors import BadInput, Refused
from ..core.holders import known_roles
from ..core.text import check_value, user_error
from .users_io import assignments

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse
    from typing import Any

    from zarn_user.role_matrix import RoleMatrix
    from zarn_user.core.users import UserRoles

    from .context import Context

    Args = argparse.Namespace


def _user(user: str) -> str:
    error = user_error(user)
    if error:
        raise BadInput(error)
    return user


def _load(args: Args, ctx: Context) -> tuple[RoleMatrix, UserRoles]:
    matrix = ctx.store.load(args.app)
    return matrix, assignments(args.app)


# --- assignments ----------------------------------------------------------------------------


def cmd_assign(args: Args, ctx: Context) -> None:
    from ..core import ops

    user = _user(args.user)
    ctx.store.open(create=False)
    ctx.store.writing = True
    engine = ctx.store.engine
    written = commands._allow(ctx, args, lambda allow: ops.assign(args.app, user, args.roles, engine=engine,
                                                                    allow_superuser=allow))
    ctx.store.committed = written.changed
    roles = written.result
    ctx.out.emit({"user": user, "roles": roles}, f"{user}: {', '.join(roles)}")


def cmd_unassign(args: Args, ctx: Context) -> None:
    from ..core import ops

    user = _user(args.user)
    ctx.store.load(args.app)  # an unknown application is bad input, before anything else
    ctx.store.writing = True
    written = ops.unassign(args.app, user, args.roles, engine=ctx.store.engine)
    ctx.store.committed = written.changed
    roles = written.result
    ctx.out.emit({"user": user, "roles": roles}, f"{user}: {', '.join(roles) or '(no roles)'}")
    if written.refusals:
        raise Refused(written.refusals)


# --- questions --------------------------------------------------------------------------------


def _role_or_user(args: Args, command: str) -> bool:
    """True for the --user form; BadInput when both or neither are given."""
    if args.user is not None and args.role is not None:
        raise BadInput(f"{command} takes a ROLE or --user USER, not both")
    if args.user is None and args.role is None:
        raise BadInput(f"{command} needs a ROLE or --user USER (see: zarn-roles {command} --help)")
    return args.user is not None


def _user_holding(args: Args, ctx: Context) -> tuple[Any, Any]:
    from zarn_user.core.users import why

    matrix, doc = _load(args, ctx)
    user = _user(args.user)
    check_value("object", args.obj)
    check_value("action", args.act)
    return doc, why(matrix, doc, user, args.obj, args.act)


def _why_data(args: Args, holding: Any) -> dict[str, Any]:
    return {"user": args.user, "permission": {"obj": args.obj, "act": args.act}, "held": holding is not None,
            "path": holding.path if holding else None, "wildcard": bool(holding and holding.holding.wildcard)}


def _not_held(args: Args, doc: Any) -> str:
    text = f"{args.user} does not hold {args.obj}:{args.act}"
    return text if doc.roles_of(args.user) else text + f" ({args.user} has no roles)"


def cmd_check(args: Args, ctx: Context) -> None:
    if not _role_or_user(args, "check"):
        return commands.cmd_check(args, ctx)
    doc, holding = _user_holding(args, ctx)
    if holding is None:
        ctx.out.emit(_why_data(args, None), f"no: {_not_held(args, doc)}")
        raise Refused("")
    text = (f"yes: {holding.explain(args.obj, args.act)}" if args.explain
            else f"yes: {args.user} holds {args.obj}:{args.act}")
    ctx.out.emit(_why_data(args, holding), text)


def cmd_why(args: Args, ctx: Context) -> None:
    if not _role_or_user(args, "why"):
        return commands.cmd_why(args, ctx)
    doc, holding = _user_holding(args, ctx)
    text = holding.explain(args.obj, args.act) if holding else _not_held(args, doc)
    ctx.out.emit(_why_data(args, holding), text)
    if holding is None:
        raise Refused("")  # the answer says it: not held


def cmd_who(args: Args, ctx: Context) -> None:
    from zarn_user.core.users import user_holdings

    if not args.users:
        return commands.cmd_who(args, ctx)
    matrix, doc = _load(args, ctx)
    check_value("object", args.obj)
    check_value("action", args.act)
    found = user_holdings(matrix, doc, args.obj, args.act)
    text = "\n".join(h.explain(args.obj, args.act) for h in found.values())
    ctx.out.emit([h.to_json() for h in found.values()], text or f"no user holds {args.obj}:{args.act}")


def cmd_show(args: Args, ctx: Context) -> None:
    from zarn_user.core.users import permissions_of

    from .render import pairs

    if args.user is None:
        return commands.cmd_show(args, ctx)
    if args.role is not None:
        raise BadInput("show takes a ROLE or --user USER, not both")
    matrix, doc = _load(args, ctx)
    user = _user(args.user)
    roles = doc.roles_of(user)
    known = set(known_roles(matrix))
    held = [{"obj": o, "act": a} for o, a in sorted(permissions_of(matrix, roles))]
    gone = [r for r in roles if r not in known]
    text = [f"user {user}", f"  roles:       {', '.join(roles) or '-'}"]
    if gone:
        text.append(f"  (no longer in {args.app}, holding nothing: {', '.join(gone)})")
    text.append(f"  permissions: {pairs(held)}")
    ctx.out.emit({"user": user, "roles": roles, "permissions": held}, "\n".join(text))


# --- the command table: check, why, who and show extended by their user forms ------------

USER = arg("--user", metavar="USER", help="a user, through the roles assigned to it")
ROLE_OR_USER = arg("role", metavar="ROLE", nargs="?", complete="roles")


def _extended(name: str, run: Any, help: str, extra: tuple[Any, ...], optional_role: bool = False) -> Command:
    base = next(c for c in commands.COMMANDS if c.name == name)
    arguments = tuple(ROLE_OR_USER if optional_role and a.names == ("role",) else a for a in base.arguments)
    return Command(name, run, help, arguments + extra, base.epilog)


COMMANDS = [
    _extended("show", cmd_show, "a role's direct contents, every role as a table, or a user's roles", (USER,)),
    _extended("why", cmd_why, "whether a role (or a user) holds a permission, and through which sub-roles",
              (USER,), optional_role=True),
    _extended("check", cmd_check, "exit status 0 when the role (or the user) holds the permission, 1 when not",
              (USER,), optional_role=True),
    _extended("who", cmd_who, "every role (or, with --users, user) that holds a permission, with its shortest path",
              (arg("--users", action="store_true", help="the users holding it, through their roles"),)),
    Command("assign", cmd_assign, "give a user roles of the application",
            (APP, arg("user", metavar="USER"), arg("roles", metavar="ROLE", nargs="+", complete="roles"),
             commands.SUPERUSER)),
    Command("unassign", cmd_unassign, "take roles from a user (the others stay)",
            (APP, arg("user", metavar="USER"), arg("roles", metavar="ROLE", nargs="+", complete="roles"))),
]
