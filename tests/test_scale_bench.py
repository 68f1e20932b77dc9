"""The scale benchmark's smoke run: a small matrix on SQLite, workers in other processes.

It checks what the figures rest on, not the figures: every committed change reached every
worker, the store holds exactly the changes that were timed, and the results section lands
in the results file beside the others."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench", "scale.py")
ROLES = 1000


@pytest.mark.timeout(180)
def test_quick_run_on_sqlite(tmp_path):
    results = tmp_path / "RESULTS.md"
    results.write_text("# Benchmark results\n\n<!-- begin adds -->\nkept as it was\n<!-- end adds -->\n")
    figures = tmp_path / "scale.json"
    subprocess.run([sys.executable, BENCH, "--quick", "--sizes", str(ROLES), "--stores", "sqlite",
                    "--workers", "2", "--seconds", "1", "--wait", "10", "--json", str(figures), "--results", str(results)],
                   check=True, capture_output=True, text=True, timeout=170)
    run = json.loads(figures.read_text())
    (r,) = run["results"]
    assert (r["store"], r["roles"]) == ("sqlite", ROLES)
    # 3 grants a role, 2 links a role on all levels but the last, the probe's grant and link;
    # the quick run's changes added 3 grants, revoked 3 and added 3 links.
    per = ROLES // 10
    assert r["memory"]["records"] == 3 * ROLES + 1 + 2 * 9 * per + 1 + 3
    assert r["memory"]["traced"] > 0
    for mode in ("notify", "strict"):
        live = r[mode]
        assert live["commits"] >= 5, live  # about 10 a second for 1 s
        assert live["unserved"] == 0, live  # every worker answered with every commit
        assert live["qps"] > 0 and live["p99"] >= live["p50"] >= 0
    for what in ("first_save", "grant", "revoke", "include", "cold_load"):
        assert 0 < r[what]["min"] <= r[what]["median"] <= r[what]["max"], what
    text = results.read_text()
    assert "<!-- begin adds -->\nkept as it was\n<!-- end adds -->" in text
    scale = text[text.index("<!-- begin scale -->"):text.index("<!-- end scale -->")]
    assert "| before, 10^5 roles | SQLite | PostgreSQL |" in scale and "| | SQLite 10^3 |" in scale
