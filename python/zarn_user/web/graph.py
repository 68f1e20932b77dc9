"""A role's neighbourhood as SVG: drawn by Graphviz's `dot` when it is installed, else by a
small layered layout here. Containers stand above the roles they contain; each role is a
link to its page; the roles and edges of a path can be highlighted.

Every text is escaped: role names follow the name rule, but objects and actions (shown as
the direct grants under a role's name) are free text.
"""

from __future__ import annotations

import html
import shutil
import subprocess
from dataclasses import dataclass, field
from urllib.parse import quote

from .snapshot import Snapshot

DOT_TIMEOUT = 5.0  # seconds; a layout that takes longer falls back to the built-in one
WIDTH = 12  # neighbours shown per role and direction; the rest are counted
GRANTS_SHOWN = 3
FONT = 13  # px; the built-in layout estimates text widths from it
CHAR = 7.4
LINE = 16


@dataclass
class Node:
    id: str
    lines: list[str]
    role: str | None  # None: a "+N more" note
    centre: bool = False
    marked: bool = False


@dataclass
class Picture:
    nodes: list[Node] = field(default_factory=list)
    edges: list[tuple[str, str, bool]] = field(default_factory=list)  # (from id, to id, marked)


def picture(snapshot: Snapshot, role: str, depth: int = 1, path: list[str] | None = None) -> Picture:
    """What to draw around `role`, with the roles and edges of `path` marked."""
    path = [r for r in (path or []) if r in snapshot.role_set]
    roles, edges, hidden = snapshot.neighbourhood(role, depth, WIDTH, extra=path)
    on_path = set(path)
    path_edges = set(zip(path, path[1:]))
    pic = Picture()
    for r in roles:
        grants = [f"{o}:{a}" for o, a in snapshot.grants.get(r, {})]
        lines = [r] + grants[:GRANTS_SHOWN]
        if len(grants) > GRANTS_SHOWN:
            lines.append(f"+{len(grants) - GRANTS_SHOWN} more")
        pic.nodes.append(Node(f"role-{r}", lines, r, centre=r == role, marked=r in on_path))
    pic.edges = [(f"role-{a}", f"role-{b}", (a, b) in path_edges) for a, b in edges]
    for (r, direction), count in hidden.items():
        note = f"more-{direction}-{r}"
        pic.nodes.append(Node(note, [f"+{count} more"], None))
        pic.edges.append((note, f"role-{r}", False) if direction == "up" else (f"role-{r}", note, False))
    return pic


def render(snapshot: Snapshot, role: str, depth: int = 1, path: list[str] | None = None,
           use_dot: bool = True) -> tuple[str, str]:
    """(SVG text, "dot" or "builtin")."""
    pic = picture(snapshot, role, depth, path)
    link = f"/apps/{quote(snapshot.name)}?role="
    if use_dot and shutil.which("dot"):
        drawn = _dot(pic, link)
        if drawn is not None:
            return drawn, "dot"
    return _builtin(pic, link), "builtin"


# --- Graphviz -----------------------------------------------------------------------------


def _dot_quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", " ") + '"'


def dot_source(pic: Picture, link: str) -> str:
    out = ["digraph roles {", "  rankdir=TB; bgcolor=transparent;",
           '  node [shape=box, style="rounded,filled", fillcolor="#ffffff", color="#5b6b7b", '
           'fontname="Helvetica", fontsize=11];', '  edge [color="#8a96a3", arrowsize=0.7];']
    # A role's node is named after it (its title in the SVG); notes by their id (with a
    # hyphen, which no role name has).
    names = {n.id: n.role or n.id for n in pic.nodes}
    for n in pic.nodes:
        # Graphviz passes entities in labels through, so "&" is written as one to show as typed.
        attrs = {"id": n.id, "label": "\\n".join(
            s.replace("&", "&amp;").replace("\\", "\\\\").replace('"', '\\"') for s in n.lines)}
        if n.role is None:
            attrs.update(shape="plaintext", style="", fontcolor="#6b7785")
        else:
            attrs.update(URL=link + quote(n.role), target="_top", tooltip=n.role, **{"class": "node-role"})
        if n.centre:
            attrs.update(penwidth="2", fillcolor="#e8f1fb", color="#1f5f9e")
        if n.marked:
            attrs.update(penwidth="2.5", color="#c0392b", fillcolor="#fdecea")
        parts = []
        for key, value in attrs.items():
            parts.append(f'{key}="{value}"' if key == "label" else f"{key}={_dot_quote(value)}")
        out.append(f"  {_dot_quote(names[n.id])} [{', '.join(parts)}];")
    for a, b, marked in pic.edges:
        extra = ' [color="#c0392b", penwidth=2.5]' if marked else ""
        out.append(f"  {_dot_quote(names[a])} -> {_dot_quote(names[b])}{extra};")
    out.append("}")
    return "\n".join(out)


def _dot(pic: Picture, link: str) -> str | None:
    try:
        done = subprocess.run(["dot", "-Tsvg"], input=dot_source(pic, link), text=True, capture_output=True,
                              timeout=DOT_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return None
    start = done.stdout.find("<svg")
    if done.returncode or start < 0:
        return None
    return done.stdout[start:]


# --- built-in layered layout --------------------------------------------------------------


def _layers(pic: Picture) -> list[list[str]]:
    """Nodes by layer: each node one below the lowest of its containers (longest path),
    ordered within a layer by the mean position of their neighbours (a few sweeps)."""
    ids = [n.id for n in pic.nodes]
    above: dict[str, list[str]] = {i: [] for i in ids}
    below: dict[str, list[str]] = {i: [] for i in ids}
    for a, b, _ in pic.edges:
        below[a].append(b)
        above[b].append(a)
    level: dict[str, int] = {}
    waiting = {i: len(above[i]) for i in ids}
    ready = [i for i in ids if not waiting[i]]
    while ready:
        node = ready.pop(0)
        level[node] = max((level[p] + 1 for p in above[node]), default=0)
        for child in below[node]:
            waiting[child] -= 1
            if not waiting[child]:
                ready.append(child)
    for i in ids:  # a cycle cannot be stored; should one ever be drawn, put it at the top
        level.setdefault(i, 0)
    layers: list[list[str]] = [[] for _ in range(max(level.values(), default=-1) + 1)]
    for i in ids:
        layers[level[i]].append(i)
    for sweep in range(4):
        down = sweep % 2 == 0
        order = range(1, len(layers)) if down else range(len(layers) - 2, -1, -1)
        for k in order:
            ref = layers[k - 1] if down else layers[k + 1]
            pos = {n: x for x, n in enumerate(ref)}
            near = above if down else below
            keys = {}
            for x, n in enumerate(layers[k]):
                xs = [pos[m] for m in near[n] if m in pos]
                keys[n] = sum(xs) / len(xs) if xs else x
            layers[k].sort(key=keys.__getitem__)
    return layers


def _builtin(pic: Picture, link: str) -> str:
    nodes = {n.id: n for n in pic.nodes}
    size = {i: (max(len(s) for s in n.lines) * CHAR + 20, len(n.lines) * LINE + 12) for i, n in nodes.items()}
    layers = _layers(pic)
    gap_x, gap_y, margin = 24.0, 48.0, 12.0
    widths = [sum(size[i][0] for i in layer) + gap_x * (len(layer) - 1) for layer in layers]
    total_w = max(widths, default=0) + 2 * margin
    place: dict[str, tuple[float, float]] = {}  # top-left corner
    y = margin
    for layer, w in zip(layers, widths):
        x = (total_w - w) / 2
        for i in layer:
            place[i] = (x, y)
            x += size[i][0] + gap_x
        y += max(size[i][1] for i in layer) + gap_y
    total_h = y - gap_y + margin
    e = html.escape
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
           f'width="{total_w:.0f}pt" height="{total_h:.0f}pt" viewBox="0 0 {total_w:.0f} {total_h:.0f}" '
           f'class="role-graph" font-family="Helvetica, Arial, sans-serif" font-size="{FONT}">',
           '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="7" markerHeight="7" '
           'orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#8a96a3"/></marker>'
           '<marker id="arrow-marked" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="6" markerHeight="6" '
           'orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#c0392b"/></marker></defs>']
    for a, b, marked in pic.edges:
        (ax, ay), (bx, by) = place[a], place[b]
        x1, y1 = ax + size[a][0] / 2, ay + size[a][1]
        x2, y2 = bx + size[b][0] / 2, by
        colour, width, marker = ("#c0392b", 2.5, "arrow-marked") if marked else ("#8a96a3", 1.2, "arrow")
        out.append(f'<g class="edge"><title>{e(nodes[a].lines[0])} contains {e(nodes[b].lines[0])}</title>'
                   f'<line x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" y2="{y2:.1f}" stroke="{colour}" '
                   f'stroke-width="{width}" marker-end="url(#{marker})"/></g>')
    for i, n in nodes.items():
        x, y = place[i]
        w, h = size[i]
        ink = "#6b7785" if n.role is None else "#1d2733"
        texts = "".join(
            f'<text x="{x + w / 2:.1f}" y="{y + 3 + LINE * (k + 1):.1f}" text-anchor="middle" fill="{ink}"'
            + (' font-weight="bold"' if k == 0 and n.role else "") + f">{e(line)}</text>"
            for k, line in enumerate(n.lines))
        if n.role is None:
            out.append(f'<g class="note" id="{e(i)}">{texts}</g>')
            continue
        stroke, fill, width = "#5b6b7b", "#ffffff", 1.0
        if n.centre:
            stroke, fill, width = "#1f5f9e", "#e8f1fb", 2.0
        if n.marked:
            stroke, fill, width = "#c0392b", "#fdecea", 2.5
        out.append(f'<g class="node" id="{e(i)}"><a xlink:href="{e(link + quote(n.role))}" href="{e(link + quote(n.role))}" '
                   f'target="_top"><title>{e(n.role)}</title>'
                   f'<rect x="{x:.1f}" y="{y:.1f}" width="{w:.1f}" height="{h:.1f}" rx="6" fill="{fill}" '
                   f'stroke="{stroke}" stroke-width="{width}"/>{texts}</a></g>')
    out.append("</svg>")
    return "\n".join(out)
