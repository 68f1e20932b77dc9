"""Rules of the C++ sources that no compiler checks."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Each folder builds on the ones before it and never reaches into the ones after it. The
# query index (the private module `_query`) uses the runtime layer only.
LAYERS = ["runtime", "graph", "model", "entry", "query"]


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))


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


def test_includes_follow_the_layers():
    offenders = []
    for path in sources():
        layer = path.relative_to(SRC).parts[0]
        assert layer in LAYERS, f"{path}: not in a layer"
        for number, included in enumerate(re.findall(r'^#include "([^"]+)"', path.read_text(), re.M), 1):
            target = included.split("/")[0]
            if target not in LAYERS or LAYERS.index(target) > LAYERS.index(layer):
                offenders.append(f"{path.relative_to(SRC)} includes {included}")
    assert offenders == []
