"""Text for people: role contents, the table of roles, pictures of the hierarchy."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from typing import TYPE_CHECKING, Any

from .errors import BadInput
from ..core.holders import known_roles

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleContent, RoleMatrix


def pairs(permissions: list[dict[str, str]]) -> str:
    return ", ".join(f"{p['obj']}:{p['act']}" for p in permissions) or "-"


def content_text(content: RoleContent) -> str:
    return content_data_text(content.to_display())


def content_data_text(data: dict[str, Any]) -> str:
    """A role's contents as `RoleContent.to_display` gives them, for people."""
    lines = [f"role {data['name']}"]
    if "roles" in data:
        lines.append(f"  sub-roles:   {', '.join(data['roles']) or '-'}")
    lines.append(f"  permissions: {pairs(data['permissions'])}")
    return "\n".join(lines)


def roles_table(rows: list[dict[str, Any]]) -> str:
    from tabulate import tabulate  # type: ignore[import-untyped]

    text: str = tabulate([(r["name"], ", ".join(r["roles"]) or "-", pairs(r["permissions"])) for r in rows],
                    headers=("role", "sub-roles", "permissions"), tablefmt="plain")
    return text


def sorted_permissions(permissions: list[dict[str, str]]) -> list[dict[str, str]]:
    return sorted(permissions, key=lambda p: (p["obj"], p["act"]))


def graph_text(matrix: RoleMatrix, fmt: str) -> str:
    roles = known_roles(matrix)
    perms: dict[str, list[str]] = {role: [] for role in roles}
    for p in matrix.policies:
        perms[p.sub].append(f"{p.obj}:{p.act}")
    if fmt == "mermaid":
        ids = {role: f"r{n}" for n, role in enumerate(roles)}
        lines = ["graph TD"]
        for role in roles:
            label = "<br/>".join([role] + perms[role]).replace('"', "#quot;")
            lines.append(f'    {ids[role]}["{label}"]')
        lines += [f"    {ids[g.child]} --> {ids[g.parent]}" for g in matrix.groups]
        return "\n".join(lines)

    def quote(s: str) -> str:
        return s.replace("\\", "\\\\").replace('"', '\\"')

    lines = [f'digraph "{quote(matrix.name)}" {{', "    rankdir=TB;", '    node [shape=box, fontname="Helvetica"];']
    for role in roles:
        label = "\\n".join(quote(s) for s in [role] + perms[role])
        lines.append(f'    "{quote(role)}" [label="{label}"];')
    lines += [f'    "{quote(g.child)}" -> "{quote(g.parent)}";' for g in matrix.groups]
    lines.append("}")
    return "\n".join(lines)


def write_text(path: str, text: str) -> None:
    """Write a file, as a one-line BadInput when it cannot be written."""
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        raise BadInput(f"cannot write {path}: {exc.strerror}") from None


# What --output FILE writes, by the extension of FILE: (the format of the text, drawn by
# Graphviz or written as it is).
GRAPH_FILES = {"dot": ("dot", False), "gv": ("dot", False), "mmd": ("mermaid", False),
               "svg": ("dot", True), "png": ("dot", True)}


def graph_format(path: str | None, given: str | None) -> str:
    """The graph's text format: as given, else from the extension of `path`, else dot;
    BadInput for an extension that cannot be written, or one that contradicts --format."""
    if path is None:
        return given or "dot"
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    if ext not in GRAPH_FILES:
        raise BadInput(f"cannot write a graph to {path}: give a file ending in .dot, .gv, .mmd, .svg or .png")
    fmt, drawn = GRAPH_FILES[ext]
    if given is not None and given != fmt:
        raise BadInput(f"--format {given} does not fit {path}: " +
                       ("pictures are drawn from dot" if drawn else f".{ext} files hold {fmt}"))
    return fmt


def draw(path: str, text: str) -> None:
    """The graph into `path`: as text, or drawn by Graphviz for .png and .svg."""
    ext = os.path.splitext(path)[1].lower().lstrip(".")
    if not GRAPH_FILES[ext][1]:
        write_text(path, text + "\n")
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise BadInput(f"cannot write {path}: folder {folder} does not exist")
    dot = shutil.which("dot")
    if dot is None:
        raise BadInput("Graphviz is not installed: install it (Debian: apt-get install graphviz; "
                       "macOS: brew install graphviz) or write the text with --output FILE.dot")
    done = subprocess.run([dot, f"-T{ext}", "-o", path], input=text, text=True, capture_output=True)
    if done.returncode:
        raise BadInput(f"Graphviz failed: {(done.stderr.strip().splitlines() or ['no message'])[0]}")


class Progress:
    """A progress bar on standard error, shown only on a terminal and for long work."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.count, self.label = total, 0, label
        self.show = sys.stderr.isatty() and total >= 500

    def step(self) -> None:
        self.count += 1
        if self.show and (self.count % 200 == 0 or self.count == self.total):
            filled = 30 * self.count // self.total
            print(f"\r{self.label} [{'#' * filled}{' ' * (30 - filled)}] {self.count}/{self.total}",
                  end="", file=sys.stderr)

    def done(self) -> None:
        if self.show:
            print(file=sys.stderr)
