"""The code blocks of the README and the documentation site that are marked runnable (an HTML
comment `<!-- runnable -->` on the line before the block) run as written.

- `python`: the runnable blocks of a page run in order, in one namespace, in a temporary
  folder shared with the page's other blocks.
- `console`: each `$ ` line runs in that folder, in process when it is a plain `zarn-roles`
  command and with bash otherwise; what it prints (standard output and error) must be the
  lines below it, up to the next `$ ` line.
- `sh`: the block runs with bash in that folder and must end with status 0.
"""

import io
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from zarn_user.cli import main as cli_main

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
BLOCK = re.compile(r"^<!-- runnable -->\n```(\w+)[^\n]*\n(.*?)^```$", re.M | re.S)
MARKER = re.compile(r"^<!-- runnable -->$", re.M)


def runnable_blocks(page):
    text = page.read_text(encoding="utf-8")
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 2) for m in BLOCK.finditer(text)]
    assert len(blocks) == len(MARKER.findall(text)), f"{page}: a runnable marker not followed by a code block"
    return blocks


def test_the_marker_is_found():
    counts = {page.relative_to(ROOT).as_posix(): len(runnable_blocks(page)) for page in PAGES}
    assert sum(counts.values()) >= 10, counts
    kinds = {kind for page in PAGES for kind, _, _ in runnable_blocks(page)}
    assert kinds <= {"python", "console", "sh"}, kinds


def shell(command, folder):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZARN_ROLES_")}
    env.update(PATH=f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}", PYTHONUNBUFFERED="1",
               USER="docs", COLUMNS="100")
    return subprocess.run(["bash", "-c", command], cwd=folder, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=60)


def in_process(command):
    """What a plain `zarn-roles ...` line prints, run in this process (much faster than a
    shell); None for any other line. A tail of `&& echo TEXT`, `|| echo "exit status $?"` or
    `> /dev/null` is taken as the shell takes it."""
    words = shlex.split(command)
    cut = next((i for i, w in enumerate(words) if w in ("&&", "||", ">")), len(words))
    argv, tail = words[1:cut], words[cut:]
    if words[0] != "zarn-roles" or any(c in command for c in "`;<") or \
            tail not in ([], [">", "/dev/null"]) and tail[:2] not in (["&&", "echo"], ["||", "echo"]):
        return None
    saved, stream = (sys.stdout, sys.stderr), io.StringIO()
    sys.stdout = sys.stderr = stream
    try:
        status = cli_main(argv)
    finally:
        sys.stdout, sys.stderr = saved
    printed = "" if tail == [">", "/dev/null"] else stream.getvalue()
    if tail[:2] == ["&&", "echo"] and status == 0 or tail[:2] == ["||", "echo"] and status != 0:
        printed += " ".join(tail[2:]).replace("$?", str(status)) + "\n"
    return printed


def run_console(code, folder, where):
    steps = []
    for line in code.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            assert steps, f"{where}: output before the first command"
            steps[-1][1].append(line)
    for command, expected in steps:
        printed = in_process(command)
        if printed is None:
            printed = shell(command, folder).stdout
        got = [line.rstrip() for line in printed.splitlines()]
        assert got == [line.rstrip() for line in expected], f"{where}: $ {command}\n{printed}"


@pytest.mark.parametrize("page", [p for p in PAGES if MARKER.search(p.read_text(encoding="utf-8"))],
                         ids=lambda p: p.relative_to(ROOT).as_posix())
def test_runnable_blocks(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in [k for k in os.environ if k.startswith("ZARN_ROLES_")]:
        monkeypatch.delenv(name)
    namespace = {"__name__": "__docs__"}
    for kind, code, line in runnable_blocks(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if kind == "python":
            exec(compile(code, where, "exec"), namespace)
        elif kind == "console":
            run_console(code, tmp_path, where)
        else:
            done = shell(code, tmp_path)
            assert done.returncode == 0, f"{where}: exit status {done.returncode}\n{done.stdout}"
