"""zarn-roles: look at and change role matrices from the command line.

Uses only the public operations of `zarn_user.role_matrix` and the framework's storage.
Exit status: 0 done, 1 a change was refused (a sub-role that would close a cycle),
2 bad input (nothing was written).
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import deque

DEFAULT_DB = "zarn-roles.sqlite3"
ROLE_NAME = re.compile(r"^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$")
APP_NAME = re.compile(r"^(?=[A-Za-z0-9])(?!.*--)[A-Za-z0-9-]{1,18}[A-Za-z0-9]$")


class BadInput(Exception):
    """Refused input: one line on standard error, exit status 2, nothing written."""


class Refused(Exception):
    """The module refused a change; exit status 1."""


# --- helpers ------------------------------------------------------------------------------


def _rm():
    import zarn_user.role_matrix as rm

    return rm


def check_app(name: str) -> str:
    if not APP_NAME.search(name):
        raise BadInput(f"invalid application name {name!r}: 2 to 19 letters, digits and single hyphens")
    return name


def check_role(name: str) -> str:
    if not ROLE_NAME.search(name):
        raise BadInput(f"invalid role name {name!r}: 2 to 19 letters, digits and single underscores")
    return name


_db_path = DEFAULT_DB


def connect(create: bool) -> bool:
    """Opens the database; without `create`, a missing file is left missing (False)."""
    import zarn_engine

    if not create and not os.path.exists(_db_path):
        return False
    zarn_engine.connect(_db_path)
    return True


def load(app: str):
    from zarn_engine import DoesNotExist, LoadError

    check_app(app)
    if not connect(create=False):
        raise BadInput(f"unknown application {app!r}: there is no database at {_db_path}")
    try:
        return _rm().RoleMatrix.load(app)
    except DoesNotExist:
        raise BadInput(f"unknown application {app!r} (see: zarn-roles list)") from None
    except LoadError as exc:
        raise BadInput(str(exc)) from None


def known_roles(matrix) -> list[str]:
    """Every role named in the stored lists, in order of first appearance, and "public"."""
    seen = {}
    for g in matrix.groups:
        seen.setdefault(g.child, None)
        seen.setdefault(g.parent, None)
    for p in matrix.policies:
        seen.setdefault(p.sub, None)
    seen.setdefault("public", None)
    return list(seen)


def require_known(matrix, roles):
    known = set(known_roles(matrix))
    for role in roles:
        if role not in known:
            raise BadInput(f"unknown role {role!r} in application {matrix.name!r}")


def containment_path(matrix, start: str, goal: str) -> list[str] | None:
    """The shortest chain of contained roles from `start` to `goal`, or None."""
    parents = {}
    for g in matrix.groups:
        parents.setdefault(g.child, []).append(g.parent)
    previous = {start: None}
    queue = deque([start])
    while queue:
        role = queue.popleft()
        if role == goal:
            path = []
            while role is not None:
                path.append(role)
                role = previous[role]
            return path[::-1]
        for parent in parents.get(role, []):
            if parent not in previous:
                previous[parent] = role
                queue.append(parent)
    return None


def parse_pairs(items):
    out = []
    for item in items:
        obj, sep, act = item.rpartition(":")
        if not sep or not obj or not act:
            raise BadInput(f"malformed permission {item!r}: expected OBJ:ACT")
        out.append({"obj": obj, "act": act})
    return out


def save_or_fail(matrix):
    from zarn_fields import ValidationError

    try:
        matrix.save()
    except ValidationError as exc:
        raise BadInput(str(exc)) from None


class Output:
    def __init__(self, as_json: bool):
        self.as_json = as_json

    def emit(self, data, text: str):
        print(json.dumps(data, indent=2) if self.as_json else text)


def content_text(content) -> str:
    data = content.to_display()
    perms = ", ".join(f"{p['obj']}:{p['act']}" for p in data["permissions"]) or "-"
    lines = [f"role {data['name']}"]
    if "roles" in data:
        lines.append(f"  sub-roles:   {', '.join(data['roles']) or '-'}")
    lines.append(f"  permissions: {perms}")
    return "\n".join(lines)


# --- commands -----------------------------------------------------------------------------


def cmd_init(args, out):
    from zarn_engine import ConflictError

    rm = _rm()
    matrix = rm.RoleMatrix(name=check_app(args.app))
    connect(create=True)
    try:
        matrix.save()
    except ConflictError:
        raise BadInput(f"application {args.app!r} exists already") from None
    out.emit({"created": args.app}, f"created {args.app} (root holds *:*, admin contains root)")


def cmd_list(args, out):
    keys = _rm().RoleMatrix.keys() if connect(create=False) else []
    out.emit(keys, "\n".join(keys) if keys else "(no applications)")


def cmd_delete(args, out):
    load(args.app)
    _rm().RoleMatrix.delete(args.app)
    out.emit({"deleted": args.app}, f"deleted {args.app}")


def cmd_show(args, out):
    matrix = load(args.app)
    if args.role:
        check_role(args.role)
        content = matrix.get_role_contents(args.role)
        out.emit(content.to_display(), content_text(content))
        return
    rows = [matrix.get_role_contents(role).to_display() for role in known_roles(matrix)]
    width = max(len("role"), *(len(r["name"]) for r in rows))
    sub_width = max(len("sub-roles"), *(len(", ".join(r["roles"])) for r in rows))
    text = [f"{'role':<{width}}  {'sub-roles':<{sub_width}}  permissions"]
    for r in rows:
        perms = ", ".join(f"{p['obj']}:{p['act']}" for p in r["permissions"])
        text.append(f"{r['name']:<{width}}  {', '.join(r['roles']) or '-':<{sub_width}}  {perms or '-'}")
    out.emit(rows, "\n".join(text))


def cmd_grant(args, out):
    matrix = load(args.app)
    check_role(args.role)
    content = matrix.add_role_permissions(args.role, [{"obj": args.obj, "act": a} for a in args.acts])
    out.emit(content.to_display(), content_text(content))


def cmd_set_permissions(args, out):
    matrix = load(args.app)
    check_role(args.role)
    pairs = parse_pairs(args.permissions)
    matrix.get_implicit_permissions_for_roles([args.role])  # a new role becomes a node first
    content = matrix.set_role_permissions(args.role, pairs)
    out.emit(content.to_display(), content_text(content))


def refusal(matrix, role, sub):
    path = containment_path(matrix, sub, role)
    chain = " contains ".join(path) if path else sub
    return f"refused: {sub} cannot become a sub-role of {role}, since {chain} already (a cycle)"


def load_for_sub_roles(args):
    """The application, once the role and its named sub-roles are known to be valid."""
    matrix = load(args.app)
    check_role(args.role)
    for sub in args.sub_roles:
        check_role(sub)
    require_known(matrix, args.sub_roles)
    return matrix


def cmd_include(args, out):
    matrix = load_for_sub_roles(args)
    content = matrix.add_role_sub_roles(args.role, args.sub_roles)
    refused = [s for s in args.sub_roles if s not in content.roles]
    out.emit({**content.to_display(), "refused": refused}, content_text(content))
    if refused:
        raise Refused("\n".join(refusal(matrix, args.role, s) for s in refused))


def cmd_set_sub_roles(args, out):
    matrix = load_for_sub_roles(args)
    content = matrix.set_role_sub_roles(args.role, args.sub_roles)
    out.emit(content.to_display(), content_text(content))
    if content.roles != list(args.sub_roles):
        # The replacement was refused as a whole; name the sub-roles that close a cycle.
        guilty = [s for s in args.sub_roles if s == args.role or containment_path(matrix, s, args.role)]
        raise Refused("\n".join(refusal(matrix, args.role, s) for s in guilty) or "refused")


def cmd_resolve(args, out):
    matrix = load(args.app)
    for role in args.roles:
        check_role(role)
    require_known(matrix, args.roles)
    content = matrix.get_implicit_permissions_for_roles(list(args.roles))
    data = content.to_display()
    text = "\n".join(f"{p['obj']}:{p['act']}" for p in data["permissions"]) or "(no permissions)"
    out.emit(data, text)


def cmd_why(args, out):
    matrix = load(args.app)
    check_role(args.role)
    require_known(matrix, [args.role])
    holders = [p.sub for p in matrix.policies if p.obj == args.obj and p.act == args.act]
    best = None
    for holder in dict.fromkeys(holders):
        path = containment_path(matrix, args.role, holder)
        if path is not None and (best is None or len(path) < len(best)):
            best = path
    granted = {(p.obj, p.act) for p in matrix.get_implicit_permissions_for_roles([args.role]).permissions}
    held = (args.obj, args.act) in granted
    perm = f"{args.obj}:{args.act}"
    if held and best:
        via = " -> ".join(best)
        text = (f"{args.role} holds {perm}: directly" if len(best) == 1
                else f"{args.role} holds {perm} through {via} (granted to {best[-1]})")
    else:
        text = f"{args.role} does not hold {perm}"
    out.emit({"role": args.role, "permission": {"obj": args.obj, "act": args.act}, "held": held,
              "path": best if held else None}, text)


def graph_text(matrix, fmt: str) -> str:
    roles = known_roles(matrix)
    perms = {role: [f"{p.obj}:{p.act}" for p in matrix.policies if p.sub == role] for role in roles}
    if fmt == "mermaid":
        lines = ["graph TD"]
        for role in roles:
            label = role + ("<br/>" + "<br/>".join(perms[role]) if perms[role] else "")
            lines.append(f'    {role}["{label}"]')
        lines += [f"    {g.child} --> {g.parent}" for g in matrix.groups]
        return "\n".join(lines)
    lines = [f'digraph "{matrix.name}" {{', "    rankdir=TB;", '    node [shape=box, fontname="Helvetica"];']
    for role in roles:
        label = "\\n".join([role] + perms[role]).replace('"', '\\"')
        lines.append(f'    "{role}" [label="{label}"];')
    lines += [f'    "{g.child}" -> "{g.parent}";' for g in matrix.groups]
    lines.append("}")
    return "\n".join(lines)


def cmd_graph(args, out):
    matrix = load(args.app)
    text = graph_text(matrix, args.format)
    if not args.output:
        print(text)
        return
    ext = os.path.splitext(args.output)[1].lower().lstrip(".")
    if ext in ("dot", "gv", "mmd", "txt"):
        with open(args.output, "w") as f:
            f.write(text + "\n")
    elif ext in ("png", "svg"):
        if args.format != "dot":
            raise BadInput("pictures are drawn from the dot format")
        dot = shutil.which("dot")
        if dot is None:
            raise BadInput("Graphviz is not installed: install it (Debian: apt-get install graphviz; "
                           "macOS: brew install graphviz) or write the text with --output FILE.dot")
        subprocess.run([dot, f"-T{ext}", "-o", args.output], input=text, text=True, check=True)
    else:
        raise BadInput(f"unknown output type {ext!r}: use .dot, .mmd, .png or .svg")
    out.emit({"written": args.output}, f"wrote {args.output}")


def cmd_export(args, out):
    matrix = load(args.app)
    if args.format == "casbin":
        lines = [f"p, {p.sub}, {p.obj}, {p.act}" for p in matrix.policies]
        lines += [f"g, {g.child}, {g.parent}" for g in matrix.groups]
        print("\n".join(lines))
    else:
        print(json.dumps(matrix.to_display(), indent=2))


def read_import(path: str, fmt: str):
    """(line number, kind, fields) entries: kind "p" (sub, obj, act) or "g" (child, parent)."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError as exc:
        raise BadInput(f"cannot read {path}: {exc.strerror}") from None
    if fmt == "auto":
        fmt = "json" if text.lstrip().startswith("{") else "casbin"
    entries = []
    if fmt == "json":
        try:
            data = json.loads(text)
            for p in data.get("policies") or []:
                entries.append((None, "p", (p["sub"], p["obj"], p["act"])))
            for g in data.get("groups") or []:
                entries.append((None, "g", (g["child"], g["parent"])))
        except (ValueError, TypeError, KeyError, AttributeError) as exc:
            raise BadInput(f"malformed JSON document {path}: {exc}") from None
        settings = {k: data[k] for k in ("new_user_fields", "new_user_roles", "new_user_profile", "callback_urls")
                    if k in data}
        return entries, settings
    for number, row in enumerate(csv.reader(io.StringIO(text), skipinitialspace=True), 1):
        if not row or row[0].startswith("#"):
            continue
        kind, fields = row[0].strip(), [c.strip() for c in row[1:]]
        if (kind, len(fields)) not in (("p", 3), ("g", 2)) or not all(fields):
            raise BadInput(f"{path}:{number}: malformed line {','.join(row)!r}")
        entries.append((number, kind, tuple(fields)))
    return entries, {}


def cmd_import(args, out):
    from zarn_engine import DoesNotExist

    rm = _rm()
    check_app(args.app)
    entries, settings = read_import(args.file, args.format)
    for _, kind, fields in entries:
        for role in (fields[:1] if kind == "p" else fields):
            check_role(role)
    connect(create=True)
    try:
        matrix = rm.RoleMatrix.load(args.app)
    except DoesNotExist:
        matrix = rm.RoleMatrix(name=args.app, policies=[], groups=[])
    for key, value in settings.items():
        setattr(matrix, key, value)
    # Every entry goes through the update operations (so the cycle guard runs); the
    # document is written once at the end.
    matrix.save = lambda: None
    refused = []
    progress = Progress(len(entries))
    for index, (number, kind, fields) in enumerate(entries):
        if kind == "p":
            matrix.add_role_permissions(fields[0], [{"obj": fields[1], "act": fields[2]}])
        else:
            child, parent = fields
            matrix.get_implicit_permissions_for_roles([parent])  # a sub-role must be a node
            if parent not in matrix.add_role_sub_roles(child, [parent]).roles:
                refused.append((number or index + 1, child, parent))
        progress.step()
    progress.done()
    del matrix.save
    save_or_fail(matrix)
    for number, child, parent in refused:
        print(f"line {number}: refused g, {child}, {parent}: {parent} already contains {child}", file=sys.stderr)
    out.emit({"imported": len(entries) - len(refused), "refused": [r[0] for r in refused]},
             f"imported {len(entries) - len(refused)} of {len(entries)} entries into {args.app}")
    if refused:
        raise Refused(f"{len(refused)} line(s) refused")


class Progress:
    """A progress bar on standard error, shown only on a terminal and for long imports."""

    def __init__(self, total):
        self.total, self.count = total, 0
        self.show = sys.stderr.isatty() and total >= 200

    def step(self):
        self.count += 1
        if self.show and (self.count % 50 == 0 or self.count == self.total):
            filled = 30 * self.count // self.total
            print(f"\r[{'#' * filled}{' ' * (30 - filled)}] {self.count}/{self.total}", end="", file=sys.stderr)

    def done(self):
        if self.show:
            print(file=sys.stderr)


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
    ["why", "bookshop", "sales", "invoice", "read"],
    ["set-permissions", "bookshop", "support", "customer:read", "ticket:write"],
    ["set-sub-roles", "bookshop", "finance", "auditor"],
    ["resolve", "bookshop", "finance"],
    ["graph", "bookshop", "--format", "mermaid"],
    ["export", "bookshop", "--format", "casbin"],
    ["list"],
]


def cmd_demo(args, out):
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "demo.sqlite3")
        print(f"# a bookshop: a dozen roles in three levels, in a temporary database ({db})")
        for argv in DEMO:
            print(f"\n$ zarn-roles {' '.join(argv)}", flush=True)
            status = main(["--db", db] + argv)
            if status:
                print(f"(exit status {status})")
        export = os.path.join(tmp, "bookshop.csv")
        with open(export, "w") as f, _redirect(f):
            main(["--db", db, "export", "bookshop", "--format", "casbin"])
        print(f"\n$ zarn-roles import bookshop-copy {export}")
        main(["--db", db, "import", "bookshop-copy", export])
        print("\n$ zarn-roles resolve bookshop-copy manager")
        main(["--db", db, "resolve", "bookshop-copy", "manager"])
        print("\n# done")


class _redirect:
    def __init__(self, f):
        self.f = f

    def __enter__(self):
        self.old, sys.stdout = sys.stdout, self.f

    def __exit__(self, *exc):
        sys.stdout = self.old


# --- entry --------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="zarn-roles", description="Manage, explain and draw role matrices.")
    p.add_argument("--db", default=DEFAULT_DB,
                   help=f"SQLite database file (default: {DEFAULT_DB} in the working directory)")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name, fn, help_text, *arguments):
        c = sub.add_parser(name, help=help_text, description=help_text)
        for names, kwargs in arguments:
            c.add_argument(*names, **kwargs)
        c.set_defaults(fn=fn)
        return c

    app = (["app"], {"metavar": "APP"})
    role = (["role"], {"metavar": "ROLE"})
    add("init", cmd_init, "create an application with the root policy and the admin group", app)
    add("list", cmd_list, "list the applications")
    add("delete", cmd_delete, "delete an application", app)
    add("show", cmd_show, "a role's direct contents, or every role as a table", app,
        (["role"], {"metavar": "ROLE", "nargs": "?"}))
    add("grant", cmd_grant, "give a role permissions: an object and one or more actions", app, role,
        (["obj"], {"metavar": "OBJ"}), (["acts"], {"metavar": "ACT", "nargs": "+"}))
    add("set-permissions", cmd_set_permissions, "replace a role's permissions (none: revoke all)", app, role,
        (["permissions"], {"metavar": "OBJ:ACT", "nargs": "*"}))
    add("include", cmd_include, "make roles sub-roles of a role", app, role,
        (["sub_roles"], {"metavar": "SUBROLE", "nargs": "+"}))
    add("set-sub-roles", cmd_set_sub_roles, "replace a role's sub-roles (none: remove all)", app, role,
        (["sub_roles"], {"metavar": "SUBROLE", "nargs": "*"}))
    add("resolve", cmd_resolve, "every permission the roles hold, through sub-roles at any depth", app,
        (["roles"], {"metavar": "ROLE", "nargs": "+"}))
    add("why", cmd_why, "whether a role holds a permission, and through which sub-roles", app, role,
        (["obj"], {"metavar": "OBJ"}), (["act"], {"metavar": "ACT"}))
    add("graph", cmd_graph, "the containment hierarchy as Graphviz DOT or Mermaid, or a picture", app,
        (["--format"], {"choices": ["dot", "mermaid"], "default": "dot"}),
        (["--output", "-o"], {"metavar": "FILE", "help": ".dot, .mmd, or .png/.svg (needs Graphviz)"}))
    add("export", cmd_export, "the stored document as JSON, or as Casbin policy CSV", app,
        (["--format"], {"choices": ["json", "casbin"], "default": "json"}))
    add("import", cmd_import, "add a JSON document's or a Casbin CSV file's policies and groups", app,
        (["file"], {"metavar": "FILE"}), (["--format"], {"choices": ["auto", "json", "casbin"], "default": "auto"}))
    add("demo", cmd_demo, "build a small application in a temporary database and tour the commands")
    return p


def main(argv=None) -> int:
    global _db_path
    args = parser().parse_args(argv)
    import zarn_engine

    previous, saved_path = zarn_engine.use_engine(None), _db_path
    _db_path = args.db
    try:
        args.fn(args, Output(args.json))
        return 0
    except BadInput as exc:
        print(f"zarn-roles: {exc}", file=sys.stderr)
        return 2
    except Refused as exc:
        print(exc, file=sys.stderr)
        return 1
    finally:
        _db_path = saved_path
        engine = zarn_engine.use_engine(previous)
        if hasattr(engine, "close"):
            engine.close()


if __name__ == "__main__":
    sys.exit(main())
