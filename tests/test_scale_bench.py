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
    # the quick run's changes added 3 grants, revoked 3 and added 3 links; its updates added
    # 4 grants (the first one untimed).
    per = ROLES // 10
    assert r["memory"]["records"] == 3 * ROLES + 1 + 2 * 9 * per + 1 + 3 + 4
    assert r["memory"]["traced"] > 0
    for mode in ("notify", "strict"):
        live = r[mode]
        assert live["commits"] >= 5, live  # about 10 a second for 1 s
        assert live["unserved"] == 0, live  # every worker answered with every commit
        assert live["qps"] > 0 and live["p99"] >= live["p50"] >= 0
    for what in ("first_save", "grant", "revoke", "include", "update", "cold_load", "fresh_load"):
        assert 0 < r[what]["min"] <= r[what]["median"] <= r[what]["max"], what
    text = results.read_text()
    assert "<!-- begin adds -->\nkept as it was\n<!-- end adds -->" in text
    scale = text[text.index("<!-- begin scale -->"):text.index("<!-- end scale -->")]
    assert "| before, 10^5 roles | SQLite | PostgreSQL |" in scale and "| | SQLite 10^3 |" in scale


def bench_module():
    sys.path.insert(0, os.path.dirname(BENCH))
    try:
        import scale
    finally:
        sys.path.pop(0)
    return scale


def test_served_latencies():
    scale = bench_module()
    commits = [(1, 10.0), (2, 10.1), (3, 10.2)]
    workers = [
        [(9.0, 0), (10.05, 1), (10.5, 3)],  # generation 2 skipped: served by 3's answer
        [(9.0, 0), (10.09, 2)],              # answered 2 before its commit returned; never saw 3
    ]
    latencies, unserved = scale.served(commits, workers)
    assert unserved == 1
    assert latencies == pytest.approx(sorted([0.05, 0.4, 0.3, 0.09, 0.0]))


def live(rate, p99=0.02, unserved=0, reloads=0.0, qps=900.0):
    return {"commit_rate": rate, "p50": p99 / 2, "p99": p99, "unserved": unserved, "reloads": reloads,
            "qps": qps, "commits": int(rate * 5)}


def verdicts(notify, strict, references=None):
    """The target lines of the report of one PostgreSQL run at 10^5 roles: name -> passed."""
    import argparse

    scale = bench_module()
    timing = {"median": 0.005, "min": 0.004, "max": 0.006, "p99": 0.006, "runs": 3}
    r = {"store": "postgresql", "roles": 100_000, "first_save": timing, "grant": timing, "revoke": timing,
         "include": timing, "cold_load": timing, "fresh_load": {**timing, "median": 0.4}, "notify": notify, "strict": strict,
         "memory": {"records": 500_000, "traced": 60_000_000, "rss": 70_000_000}}
    references = references or {"postgresql": {"notify": {"qps": 1000.0}, "strict": {"qps": 1000.0}}}
    args = argparse.Namespace(repeat=5, changes=15, workers=4, seconds=5.0)
    text = scale.report([r], references, args, 1.0, "now")
    rows = [line.split(" | ") for line in text.splitlines() if line.endswith(("✓ |", "✗ |"))]
    return {row[0].lstrip("| ").split(",")[0]: row[2].endswith("✓ |") for row in rows}


def test_targets_pass_only_with_the_writer_at_its_rate():
    good = verdicts(live(9.8), live(9.6))
    assert all(good.values()), good
    assert set(good) >= {"one grant committed", "cold load", "notify: served p99", "strict: reloads a worker",
                         "notify: queries/s a worker vs 10^3", "strict: queries/s a worker vs 10^3", "memory"}
    # A starved writer gives workers nothing to reload: their figures prove nothing.
    starved = verdicts(live(0.2), live(0.4))
    assert not any(starved[k] for k in ("notify: served p99", "strict: reloads a worker",
                                        "notify: queries/s a worker vs 10^3", "strict: queries/s a worker vs 10^3"))
    assert not verdicts(live(9.8, unserved=1), live(9.6))["notify: served p99"]
    assert not verdicts(live(9.8, p99=0.2), live(9.6))["notify: served p99"]
    assert not verdicts(live(9.8), live(9.6, reloads=1.0))["strict: reloads a worker"]
    assert not verdicts(live(9.8, qps=400.0), live(9.6))["notify: queries/s a worker vs 10^3"]
