"""The console's graph explorer and long lists in Chromium, at 300 and at 10^4 roles: depth
up and down, zoom, pan, a role's neighbours added on click, levels paged, text readable.
With ZARN_SCREENSHOTS=DIR the pictures are written there (docs/ holds the README's)."""

import os
import re

import pytest

from test_web_browser import IN_CI, browser, cli, db, page, url  # noqa: F401  (fixtures)

if not IN_CI:
    pytest.importorskip("playwright", reason="Playwright is not installed: pip install '.[test]'")
from playwright.sync_api import expect  # noqa: E402

import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402
from zarn_user.core.interchange import Entry, apply  # noqa: E402
from zarn_user.web.explore import explore, parse_pages  # noqa: E402
from zarn_user.web.snapshot import Snapshot  # noqa: E402


def _tree(fanouts, name="org"):
    """top contains fanouts[0] roles, each of them fanouts[1] roles, ...; each role is granted
    docDEPTH:read."""
    entries, level, n = [Entry("x", "p", ("top", "console", "open"))], ["top"], 0
    for depth, fan in enumerate(fanouts, 1):
        following = []
        for parent in level:
            for _ in range(fan):
                n += 1
                role = f"d{depth}_r{n}"
                following.append(role)
                entries += [Entry("x", "p", (role, f"doc{depth}", "read")), Entry("x", "g", (parent, role))]
        level = following
    matrix = rm.RoleMatrix(name=name, policies=[], groups=[])
    assert not apply(matrix, entries)[1]
    return matrix


def _store(db, matrix):
    engine = zarn_engine.connect(db)
    try:
        matrix.save()
    finally:
        engine.close()
        zarn_engine.use_engine(None)


def test_levels_are_paged_at_their_shortest_distance():
    snap = Snapshot(_tree([3, 30]))
    got = explore(snap, "d1_r1", up=1, down=1, limit=10)
    assert [(x["level"], x["total"], x["shown"]) for x in got["levels"]] == [(-1, 1, 1), (1, 30, 10)]
    assert {n["role"]: n["level"] for n in got["nodes"]}["top"] == -1
    assert ["top", "d1_r1"] in got["edges"] and all(b != "d1_r2" for _, b in got["edges"])
    top = explore(snap, "top", up=2, down=2, limit=25, pages={2: 30})
    level2 = next(x for x in top["levels"] if x["level"] == 2)
    assert (level2["total"], level2["offset"], level2["shown"]) == (90, 25, 25)  # pages start at a multiple
    shown = [n for n in top["nodes"] if n["level"] == 2]
    assert [n["role"] for n in shown][:2] == ["d2_r29", "d2_r30"]
    # A check's path is drawn and marked, past the page and the depth.
    far = explore(snap, "top", down=1, limit=1, path=["top", "d1_r3", "d2_r93"])
    marked = {n["role"]: n["level"] for n in far["nodes"] if n["marked"]}
    assert marked == {"top": 0, "d1_r3": 1, "d2_r93": 2}
    assert parse_pages("2:50,-1:0") == {2: 50, -1: 0}
    with pytest.raises(ValueError):
        parse_pages("2-50")


def _transform(page):
    text = page.locator("#graph .viewport").get_attribute("transform")
    x, y, scale = map(float, re.findall(r"-?[\d.]+", text))
    return x, y, scale


def _text_px(page):
    """The height on screen of a role's name in the graph: readable at 10 px and more."""
    return page.evaluate("document.querySelector('#graph .node a text').getBoundingClientRect().height")


def _shoot(page, name):
    folder = os.environ.get("ZARN_SCREENSHOTS")
    if folder:
        page.evaluate("document.getElementById('graph').style.height = '640px'")
        up = page.locator("#graph-up").input_value()
        page.select_option("#graph-up", "0")  # drawn again, in the first view of the taller box
        page.select_option("#graph-up", up)
        page.wait_for_timeout(500)
        page.locator(".role-pane").screenshot(path=os.path.join(folder, name))


def test_graph_at_300_roles(page, db):  # noqa: F811
    _store(db, _tree([12, 24], "org300"))
    page.set_viewport_size({"width": 1400, "height": 1000})
    page.goto("/apps/org300?role=top")
    expect(page.locator("#graph .node")).to_have_count(13)
    page.select_option("#graph-down", "2")
    expect(page.locator("#graph .more")).to_contain_text(["+264 more"])
    expect(page.locator("#graph-info")).to_contain_text("37 of 301 roles")
    assert _text_px(page) >= 10

    x, y, scale = _transform(page)
    page.click("#zoom-in")
    assert _transform(page)[2] > scale
    box = page.locator("#graph").bounding_box()
    page.mouse.move(box["x"] + 200, box["y"] + 200)
    page.mouse.wheel(0, 400)
    assert _transform(page)[2] < scale * 1.25
    before = _transform(page)
    page.mouse.move(box["x"] + 20, box["y"] + 300)  # a drag on the background pans, opens nothing
    page.mouse.down()
    page.mouse.move(box["x"] + 140, box["y"] + 360, steps=5)
    page.mouse.up()
    after = _transform(page)
    assert after[0] - before[0] == pytest.approx(120, abs=2) and after[1] - before[1] == pytest.approx(60, abs=2)
    expect(page.locator("#role-title")).to_have_text("top")

    page.click("#zoom-fit")
    page.locator("#graph .more").click()  # the level's next page
    expect(page.locator("#graph .more")).to_contain_text(["25\u201348 of 288"])
    expect(page.locator('#graph .node[data-role="d2_r37"]')).to_have_count(1)
    page.select_option("#graph-down", "1")
    expect(page.locator("#graph .node")).to_have_count(13)
    page.locator('#graph .expand[data-role="d1_r5"]').click()  # its 24 sub-roles join the drawing
    expect(page.locator("#graph .node")).to_have_count(37)
    expect(page.locator('#graph .node[data-role="d2_r109"]')).to_have_count(1)
    expect(page.locator('#graph .expand[data-role="d1_r5"]')).to_have_count(0)
    expect(page.locator("#role-title")).to_have_text("top")
    page.locator("#graph a", has_text="d1_r5").first.click()  # a role's name opens it
    expect(page.locator("#role-title")).to_have_text("d1_r5")
    expect(page.locator("#graph .node")).to_have_count(26)
    page.goto("/apps/org300?role=top")
    page.select_option("#graph-down", "2")
    expect(page.locator("#graph-info")).to_contain_text("37 of 301 roles")
    _shoot(page, "graph-300.png")


def test_graph_and_lists_at_10k_roles(page, db):  # noqa: F811
    _store(db, _tree([10, 10, 10, 9], "org10k"))
    page.set_viewport_size({"width": 1400, "height": 1000})
    page.goto("/apps/org10k?role=top")
    expect(page.locator("#page")).to_have_text("1 / 203")
    page.select_option("#graph-down", "4")
    expect(page.locator("#graph-info")).to_contain_text("83 of 10,111 roles")
    expect(page.locator("#graph .more")).to_have_count(3)  # levels 2, 3 and 4 paged; level 1 whole
    expect(page.locator("#graph .more").last).to_contain_text("+8,976 more")
    assert _text_px(page) >= 10
    _shoot(page, "graph-10k.png")

    page.fill("#who-obj", "doc4")
    page.fill("#who-act", "read")
    page.click("#who-form button")
    holders = page.locator("#who-result li a.role")
    expect(holders).to_have_count(50)
    page.locator("#who-result button.more-rows").click()
    expect(holders).to_have_count(100)
    expect(page.locator("#who-result button.more-rows")).to_have_text("show 50 more (10,011 left)")
