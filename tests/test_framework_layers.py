"""The framework's imports point one way, down its floors: fields, then the stored format,
the documents, the change log, the stores (with saving and loading), the live documents, and
the package root on top. Read from the sources with ast, imports inside functions included,
so that no import hidden in a function goes back up or closes a circle.

Imports under `if TYPE_CHECKING:` never run; they are listed apart, and one that points up
must be named in TYPE_ONLY_UP with its reason."""

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent / "framework"
PACKAGES = ("zarn_fields", "zarn_engine")

# Rank of each floor (a module, or every module under a package); an import may go to the
# same rank or below.
RANKS = [
    ("zarn_fields", 0), ("zarn_engine.errors", 0), ("zarn_engine.schema", 0),
    ("zarn_engine.codec", 1),
    ("zarn_engine.document", 2), ("zarn_engine.acl", 2),
    ("zarn_engine.changes", 3),
    ("zarn_engine.engine", 4), ("zarn_engine.urls", 4), ("zarn_engine.memory", 4), ("zarn_engine.sqlite", 4),
    ("zarn_engine.postgresql", 4), ("zarn_engine.pgconnection", 4), ("zarn_engine.feed", 4),
    ("zarn_engine.dump", 4), ("zarn_engine.backup", 4), ("zarn_engine.persist", 4),
    ("zarn_engine.live", 5),
    ("zarn_engine", 6),
]

# Type-only imports that name a class of a higher floor in annotations.
TYPE_ONLY_UP = {
    # A document's `save`, `load`, `keys`, `delete` and `engine` take or give a store.
    ("zarn_engine.document", "zarn_engine.engine"),
}


def modules():
    found = {}
    for package in PACKAGES:
        for path in sorted((ROOT / package).rglob("*.py")):
            parts = list(path.relative_to(ROOT).with_suffix("").parts)
            if parts[-1] == "__init__":
                parts.pop()
            found[".".join(parts)] = path
    return found


def rank(module):
    """The rank of the longest entry of RANKS that `module` falls under."""
    best = None
    for name, value in RANKS:
        if module == name or module.startswith(name + "."):
            if best is None or len(name) > len(best[1]):
                best = (value, name)
    assert best is not None, f"{module} belongs to no floor: add it to RANKS"
    return best[0]


def _type_checking(node):
    if not isinstance(node, ast.If):
        return False
    test = node.test
    return (
        (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING")
        or (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"))


def imports(module, path, known):
    """(run-time, type-only): the modules of the framework that `module` imports, anywhere in
    its source; type-only are those under `if TYPE_CHECKING:`."""
    tree = ast.parse(path.read_text(), str(path))
    is_package = path.name == "__init__.py"
    base = module.split(".") if is_package else module.split(".")[:-1]
    run, typed = set(), set()

    def targets(node):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        else:
            if node.level:
                anchor = base[: len(base) - node.level + 1]
                prefix = ".".join(anchor + ([node.module] if node.module else []))
            else:
                prefix = node.module or ""
            names = [f"{prefix}.{alias.name}" if f"{prefix}.{alias.name}" in known else prefix
                     for alias in node.names]
        for target in names:
            while target and target not in known:
                target = target.rpartition(".")[0]
            if target and target.split(".")[0] in PACKAGES and target != module:
                yield target

    def walk(node, type_only):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.Import, ast.ImportFrom)):
                (typed if type_only else run).update(targets(child))
            elif _type_checking(child):
                for inner in child.body:
                    walk(ast.Module(body=[inner], type_ignores=[]), True)
                for inner in child.orelse:
                    walk(ast.Module(body=[inner], type_ignores=[]), type_only)
            else:
                walk(child, type_only)

    walk(tree, False)
    return run, typed - run


def graph():
    known = modules()
    return {m: imports(m, p, known) for m, p in known.items()}


def circles_of(edges):
    """The circles of an import graph (its strongly connected parts of two or more modules)."""
    index, low, stack, on, circles = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on.add(node)
        for nxt in edges.get(node, ()):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                circles.append(sorted(component))

    for node in edges:
        if node not in index:
            visit(node)
    return circles


def test_imports_point_down_the_floors():
    wrong, typed_up = [], set()
    for module, (run, typed) in graph().items():
        wrong += [f"{module} -> {t}" for t in run if rank(t) > rank(module)]
        typed_up |= {(module, t) for t in typed if rank(t) > rank(module)}
    assert not wrong, "imports up the floors:\n" + "\n".join(sorted(wrong))
    assert typed_up == TYPE_ONLY_UP


def test_no_circles():
    assert circles_of({m: run for m, (run, _typed) in graph().items()}) == []


def test_the_checker_sees_every_import(tmp_path):
    """A function-level import is an arrow like any other; one under TYPE_CHECKING is
    type-only, wherever it stands."""
    source = tmp_path / "probe.py"
    source.write_text("TYPE_CHECKING = False\n"
                      "if TYPE_CHECKING:\n    from .engine import Engine\nelse:\n    from . import codec\n"
                      "def f():\n    from .persist import save\n    import zarn_engine.live\n"
                      "    if TYPE_CHECKING:\n        from .feed import Feed\n")
    run, typed = imports("zarn_engine.probe", source, set(modules()))
    assert run == {"zarn_engine.persist", "zarn_engine.live", "zarn_engine.codec"}
    assert typed == {"zarn_engine.engine", "zarn_engine.feed"}
    assert circles_of({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]


def test_the_package_fills_the_documents_persistence():
    """Documents reach the floor above through the slot persist.py fills when the package
    is imported; without it they say so (no half-done save)."""
    import zarn_engine
    from zarn_engine import document, persist
    from zarn_fields import StringField

    class Note(zarn_engine.Document):
        _key_fields = ["name"]
        name = StringField()

    engine = zarn_engine.MemoryEngine()
    assert document._persistence is persist
    document._persistence = None
    try:
        with pytest.raises(RuntimeError, match="import zarn_engine"):
            Note(name="x").save(engine)
    finally:
        document.register_persistence(persist)
    Note(name="x").save(engine)
    assert Note.load("x", engine).name == "x"
