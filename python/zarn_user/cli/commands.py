"""The commands of zarn-roles: each takes the parsed arguments, the store and the output."""

from __future__ import annotations

import os
import sys
import tempfile

from . import interchange, user_commands
from .holders import containment_path, holdings, known_roles
from .render import Output, Progress, content_text, draw, graph_text, roles_table, sorted_permissions, write_text
from .store import BadInput, Refused, Store, check_app, check_role, check_value, save


def _known(matrix, roles) -> None:
    known = set(known_roles(matrix))
    for role in roles:
        check_role(role)
        if role not in known:
            raise BadInput(f"unknown role {role!r} in application {matrix.name!r}")


def _permissions(obj: str, acts: list[str]) -> list[dict]:
    if ":" in obj and all(":" in a for a in acts):  # the OBJ:ACT form of other tools
        o, _, a = obj.rpartition(":")
        raise BadInput(f"permissions are given as OBJ ACT [ACT...]: write {o} {a}, not {obj}")
    if not acts:
        raise BadInput(f"no action given for {obj}: permissions are given as OBJ ACT [ACT...]")
    check_value("object", obj)
    return [{"obj": obj, "act": check_value("action", act)} for act in acts]


# --- applications -------------------------------------------------------------------------


def cmd_init(args, store: Store, out: Output) -> None:
    from zarn_engine import ConflictError

    import zarn_user.role_matrix as rm

    matrix = rm.RoleMatrix(name=check_app(args.app))
    store.open(create=True)
    try:
        matrix.save()
    except ConflictError:
        raise BadInput(f"application {args.app!r} exists already") from None
    out.emit({"created": args.app}, f"created {args.app} (root holds *:*, admin contains root)")


def cmd_list(args, store: Store, out: Output) -> None:
    import zarn_user.role_matrix as rm

    keys = rm.RoleMatrix.keys() if store.open(create=False) else []
    out.emit(keys, "\n".join(keys) if keys else "(no applications)")


def cmd_delete(args, store: Store, out: Output) -> None:
    from zarn_engine import ConflictError

    import zarn_user.role_matrix as rm

    matrix = store.load(args.app)
    try:  # only the version that was read: a change made meanwhile is not deleted unseen
        rm.RoleMatrix.delete(args.app, version=matrix.version)
    except ConflictError:
        raise Refused(f"not deleted: {args.app} changed meanwhile; look at it again") from None
    user_commands.forget(args.app)
    out.emit({"deleted": args.app}, f"deleted {args.app}")


# --- reading ------------------------------------------------------------------------------


def cmd_show(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    if args.role:
        _known(matrix, [args.role])
        content = matrix.get_role_contents(args.role)
        out.emit(content.to_display(), content_text(content))
        return
    rows = [matrix.get_role_contents(role).to_display() for role in known_roles(matrix)]
    out.emit(rows, roles_table(rows))


def cmd_resolve(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    _known(matrix, args.roles)
    data = matrix.get_implicit_permissions_for_roles(list(args.roles)).to_display()
    text = "\n".join(f"{p['obj']}:{p['act']}" for p in sorted_permissions(data["permissions"]))
    out.emit(data, text or "(no permissions)")


def _holding(args, store: Store):
    matrix = store.load(args.app)
    _known(matrix, [args.role])
    check_value("object", args.obj)
    check_value("action", args.act)
    return holdings(matrix, args.obj, args.act).get(args.role)


def _why_data(args, holding) -> dict:
    return {"role": args.role, "permission": {"obj": args.obj, "act": args.act}, "held": holding is not None,
            "path": holding.path if holding else None, "wildcard": bool(holding and holding.wildcard)}


def cmd_why(args, store: Store, out: Output) -> None:
    holding = _holding(args, store)
    text = (holding.explain(args.obj, args.act) if holding
            else f"{args.role} does not hold {args.obj}:{args.act}")
    out.emit(_why_data(args, holding), text)


def cmd_check(args, store: Store, out: Output) -> None:
    holding = _holding(args, store)
    perm = f"{args.obj}:{args.act}"
    if holding is None:
        out.emit(_why_data(args, None), f"no: {args.role} does not hold {perm}")
        raise Refused(None)
    text = f"yes: {holding.explain(args.obj, args.act)}" if args.explain else f"yes: {args.role} holds {perm}"
    out.emit(_why_data(args, holding), text)


def cmd_who(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    check_value("object", args.obj)
    check_value("action", args.act)
    found = holdings(matrix, args.obj, args.act)
    text = "\n".join(h.explain(args.obj, args.act) for h in found.values())
    out.emit([h.to_json() for h in found.values()], text or f"no role holds {args.obj}:{args.act}")


# --- permissions --------------------------------------------------------------------------


def cmd_grant(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    check_role(args.role)
    content = matrix.add_role_permissions(args.role, _permissions(args.obj, args.acts))
    out.emit(content.to_display(), content_text(content))


def cmd_set_permissions(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    check_role(args.role)
    wanted = _permissions(args.obj, args.acts) if args.obj is not None else []
    matrix.get_implicit_permissions_for_roles([args.role])  # a new role becomes a node first
    content = matrix.set_role_permissions(args.role, wanted)
    out.emit(content.to_display(), content_text(content))


def cmd_revoke(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    _known(matrix, [args.role])
    revoked = {(p["obj"], p["act"]) for p in _permissions(args.obj, args.acts)}
    own = matrix.get_role_contents(args.role).to_display()["permissions"]
    held = {(p["obj"], p["act"]) for p in own}
    missing = [pair for pair in dict.fromkeys((args.obj, a) for a in args.acts) if pair not in held]
    if len(missing) < len(revoked):
        content = matrix.set_role_permissions(args.role, [p for p in own if (p["obj"], p["act"]) not in revoked])
        out.emit(content.to_display(), content_text(content))
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


def _refusal(matrix, role: str, sub: str) -> str:
    if sub == role:
        return f"refused: {role} cannot contain itself"
    path = containment_path(matrix, sub, role)
    chain = " contains ".join(path) if path else sub
    return f"refused: {sub} cannot become a sub-role of {role}, since {chain} already (a cycle)"


def _load_for_sub_roles(args, store: Store):
    matrix = store.load(args.app)
    check_role(args.role)
    _known(matrix, args.sub_roles)
    return matrix


def cmd_include(args, store: Store, out: Output) -> None:
    matrix = _load_for_sub_roles(args, store)
    content = matrix.add_role_sub_roles(args.role, args.sub_roles)
    refused = [s for s in dict.fromkeys(args.sub_roles) if s not in content.roles]
    out.emit({**content.to_display(), "refused": refused}, content_text(content))
    if refused:
        raise Refused("\n".join(_refusal(matrix, args.role, s) for s in refused))


def cmd_set_sub_roles(args, store: Store, out: Output) -> None:
    matrix = _load_for_sub_roles(args, store)
    content = matrix.set_role_sub_roles(args.role, args.sub_roles)
    out.emit(content.to_display(), content_text(content))
    if content.roles != list(args.sub_roles):
        # The replacement was refused as a whole; name the sub-roles that close a cycle.
        guilty = [s for s in args.sub_roles if s == args.role or containment_path(matrix, s, args.role)]
        raise Refused("\n".join(_refusal(matrix, args.role, s) for s in guilty) or "refused")


def cmd_exclude(args, store: Store, out: Output) -> None:
    matrix = _load_for_sub_roles(args, store)
    _known(matrix, [args.role])
    current = matrix.get_role_contents(args.role).roles
    missing = [s for s in dict.fromkeys(args.sub_roles) if s not in current]
    if len(missing) < len(set(args.sub_roles)):
        content = matrix.set_role_sub_roles(args.role, [r for r in current if r not in set(args.sub_roles)])
        out.emit(content.to_display(), content_text(content))
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


def cmd_graph(args, store: Store, out: Output) -> None:
    text = graph_text(store.load(args.app), args.format)
    if not args.output:
        print(text)
        return
    draw(args.output, text, args.format)
    out.emit({"written": args.output}, f"wrote {args.output}")


def cmd_export(args, store: Store, out: Output) -> None:
    matrix = store.load(args.app)
    text = (interchange.export_casbin if args.format == "casbin" else interchange.export_json)(matrix)
    if args.format == "casbin":
        text += user_commands.casbin_lines(args.app)
    if args.output:
        write_text(args.output, text)
        print(f"wrote {args.output}", file=sys.stderr)
    else:
        sys.stdout.write(text)


def cmd_import(args, store: Store, out: Output) -> None:
    from zarn_engine import DoesNotExist

    import zarn_user.role_matrix as rm

    check_app(args.app)
    entries, settings, notes = interchange.read(args.file, args.format)
    entries, user_entries = user_commands.split_users(entries)
    for note in notes:
        print(f"note: {note}", file=sys.stderr)
    if args.dry_run:
        exists = store.open(create=False)
    else:
        exists = store.open(create=True)
    try:
        matrix = rm.RoleMatrix.load(args.app) if exists else None
    except DoesNotExist:
        matrix = None
    if matrix is None:
        matrix = rm.RoleMatrix(name=args.app, policies=[], groups=[])
    for key, value in settings.items():
        setattr(matrix, key, value)
    progress = Progress(len(entries), "import")
    added, refused = interchange.apply(matrix, entries, progress.step)
    progress.done()
    users = user_commands.ImportedUsers(args.app, matrix, user_entries, stored=store.engine is not None)
    if args.dry_run:
        for line in users.preview():
            print(line)
        for entry in added:
            print(f"would add: {entry.casbin()}")
        for entry in refused:
            print(f"would refuse {entry.where}: {entry.casbin()}: {_refusal(matrix, *entry.fields)}")
        print(f"dry run: {len(added)} to add, {len(refused)} to refuse, {len(entries) - len(added) - len(refused)} "
              f"already there; nothing written")
        return
    save(matrix)
    users.save()
    for entry in refused:
        print(f"{entry.where}: {_refusal(matrix, *entry.fields)}", file=sys.stderr)
    out.emit({"imported": len(added), "refused": [e.where for e in refused], **users.to_json()},
             f"imported {len(added)} of {len(entries)} entries into {args.app}{users.summary()}")
    if refused:
        raise Refused(f"{len(refused)} line(s) refused")


# --- tour ---------------------------------------------------------------------------------

DEMO = [
    ["init", "bookshop"],
    ["grant", "bookshop", "reader", "book", "read"],
    ["grant", "bookshop", "reader", "review", "read"],
    ["grant", "bookshop", "writer", "review", "write"],
    ["grant", "bookshop", "clerk", "order", "read", "write"],
    ["grant", "bookshop", "stocker", "stock", "read", "write"],
    ["grant", "bookshop", "accountant", "invoice", "read", "write"],
    ["grant", "bookshop", "auditor", "invoice", "read"],
    ["grant", "bookshop", "support", "customer", "read"],
    ["grant", "bookshop", "editor", "book", "write"],
    ["include", "bookshop", "writer", "reader"],
    ["include", "bookshop", "editor", "writer"],
    ["include", "bookshop", "sales", "clerk", "support"],
    ["include", "bookshop", "warehouse", "stocker", "clerk"],
    ["include", "bookshop", "finance", "accountant", "auditor"],
    ["include", "bookshop", "manager", "sales", "warehouse", "finance", "editor"],
    ["include", "bookshop", "reader", "manager"],
    ["show", "bookshop"],
    ["show", "bookshop", "manager"],
    ["resolve", "bookshop", "warehouse"],
    ["why", "bookshop", "manager", "review", "read"],
    ["check", "bookshop", "sales", "invoice", "read"],
    ["who", "bookshop", "invoice", "read"],
    ["check", "bookshop", "admin", "invoice", "refund", "--explain"],
    ["revoke", "bookshop", "clerk", "order", "write"],
    ["set-sub-roles", "bookshop", "finance", "auditor"],
    ["resolve", "bookshop", "finance"],
    ["graph", "bookshop", "--format", "mermaid"],
    ["export", "bookshop", "--format", "casbin"],
    ["list"],
]


def cmd_demo(args, store: Store, out: Output) -> None:
    from . import main

    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "demo.sqlite3")
        print(f"# a bookshop: a dozen roles in three levels, in a temporary database ({db})")
        for argv in DEMO:
            print(f"\n$ zarn-roles {' '.join(argv)}", flush=True)
            status = main(["--db", db] + argv)
            if status:
                print(f"(exit status {status})")
        export = os.path.join(tmp, "bookshop.csv")
        main(["--db", db, "export", "bookshop", "--format", "casbin", "-o", export])
        print(f"\n$ zarn-roles import bookshop-copy {export}")
        main(["--db", db, "import", "bookshop-copy", export])
        print("\n$ zarn-roles resolve bookshop-copy manager")
        main(["--db", db, "resolve", "bookshop-copy", "manager"])
        print("\n# done")
