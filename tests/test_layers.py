"""The package's imports point one way: the module and the package root at the bottom, the
core above them, the public users and directory modules above the core, the HTTP API and the
web integrations above those, the command line on top. Read from the sources with ast, imports
inside functions included, so that no import hidden in a function goes back up or closes a
circle."""

import ast
import pathlib

from test_framework_layers import circles_of

ROOT = pathlib.Path(__file__).resolve().parent.parent / "python"
PACKAGE = "zarn_user"

# Rank of each room (a module, or every module under a package); an import may go to the
# same rank or below. The rooms of rank 3 stand side by side: none imports another.
RANKS = [
    ("zarn_user", 0), ("zarn_user._version", 0), ("zarn_user.role_matrix", 0), ("zarn_user._applier", 0),
    ("zarn_user._query", 0), ("zarn_user.query", 0),
    ("zarn_user.core", 1),
    ("zarn_user.users", 2), ("zarn_user.directory", 2),
    ("zarn_user.web", 3), ("zarn_user.fastapi", 3), ("zarn_user.django", 3), ("zarn_user.flask", 3),
    ("zarn_user.cli", 4), ("zarn_user.__main__", 4),
]


def modules():
    found = {}
    for path in sorted((ROOT / PACKAGE).rglob("*.py")):
        parts = list(path.relative_to(ROOT).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def room(module):
    """(rank, room) of a module: the longest entry of RANKS it falls under."""
    best = None
    for name, rank in RANKS:
        if module == name or module.startswith(name + "."):
            if best is None or len(name) > len(best[1]):
                best = (rank, name)
    assert best is not None, f"{module} belongs to no layer: add it to RANKS"
    return best


def imports(module, path, known):
    """Every module of the package that `module` imports, anywhere in its source."""
    tree = ast.parse(path.read_text(), str(path))
    is_package = path.name == "__init__.py"
    base = module.split(".") if is_package else module.split(".")[:-1]
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                anchor = base[: len(base) - node.level + 1]
                prefix = ".".join(anchor + ([node.module] if node.module else []))
            else:
                prefix = node.module or ""
            targets = [f"{prefix}.{alias.name}" if f"{prefix}.{alias.name}" in known else prefix
                       for alias in node.names]
        else:
            continue
        for target in targets:
            while target and target not in known:
                target = target.rpartition(".")[0]
            if target and target.split(".")[0] == PACKAGE and target != module:
                out.add(target)
    return out


def graph():
    known = modules()
    return {m: imports(m, p, known) for m, p in known.items()}


def test_imports_never_point_up_nor_across():
    wrong = []
    for module, targets in graph().items():
        rank, home = room(module)
        for target in targets:
            target_rank, target_room = room(target)
            if target_rank > rank or (target_rank == rank == 3 and target_room != home):
                wrong.append(f"{module} -> {target}")
    assert not wrong, "imports against the layers:\n" + "\n".join(sorted(wrong))


def test_no_module_imports_the_command_line_from_below():
    below = [m for m, targets in graph().items() if not m.startswith("zarn_user.cli") and m != "zarn_user.__main__"
             and any(t.startswith("zarn_user.cli") for t in targets)]
    assert below == []


def test_no_circles():
    assert circles_of(graph()) == []
