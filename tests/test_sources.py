"""House rules of the C++ sources that a reader would otherwise have to check by eye."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))


def test_sources_exist():
    assert {p.parent.name for p in sources()} == {"module", "model", "graph"}


def test_references_are_released_by_the_owner_type_only():
    # Releasing happens in Ref (refs.hpp) and in the tp_clear slot of the function type.
    offenders = []
    for path in sources():
        if path.name == "refs.hpp":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if re.search(r"\bPy_X?DECREF\s*\(", line) or (
                    re.search(r"\bPy_CLEAR\s*\(", line) and path.name != "function.cpp"):
                offenders.append(f"{path.name}:{number}: {line.strip()}")
    assert offenders == []


def test_every_file_says_what_it_holds():
    for path in sources():
        first = path.read_text().splitlines()[0]
        assert first.startswith("// "), path.name


def test_entry_points_do_not_let_exceptions_escape():
    # Every implementation the interpreter calls is declared noexcept.
    text = (SRC / "graph" / "graph.hpp").read_text()
    declared = re.findall(r"PyObject\* (\w+)\(Function\*, PyObject\* const\*\)( noexcept)?;", text)
    assert declared and all(flag for _, flag in declared)
