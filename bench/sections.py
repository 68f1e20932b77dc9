"""Sections of bench/RESULTS.md that separate benchmark scripts write, each between
`<!-- begin NAME -->` and `<!-- end NAME -->`, kept when another script rewrites the file."""

from __future__ import annotations

import os
import re

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md")
_SECTION = re.compile(r"<!-- begin (\S+) -->\n.*?<!-- end \1 -->\n", re.S)


def kept(path: str = RESULTS) -> str:
    """Every marked section of the file, in order."""
    if not os.path.exists(path):
        return ""
    return "".join(m.group(0) for m in _SECTION.finditer(open(path).read()))


def write(name: str, text: str, path: str = RESULTS) -> None:
    """Put `text` as section `name` into the file, in place of its previous version."""
    block = f"<!-- begin {name} -->\n{text.rstrip()}\n<!-- end {name} -->\n"
    old = open(path).read() if os.path.exists(path) else ""
    pattern = re.compile(rf"<!-- begin {re.escape(name)} -->\n.*?<!-- end {re.escape(name)} -->\n", re.S)
    new = pattern.sub(lambda _: block, old) if pattern.search(old) else old.rstrip("\n") + "\n\n" + block
    with open(path, "w") as f:
        f.write(new)
