"""Playground files on the page: run in memory over HTTP, served from a file by `zarn-roles
serve FILE`, edited, rerun and saved back, in Chromium."""

import signal
import subprocess
import sys

import pytest

from test_playground import SHOP
from test_web import AUTH, ENV, TOKEN, _free_port, db  # noqa: F401  (fixtures and helpers)
from test_web_browser import browser  # noqa: F401  (fixture)

pytest.importorskip("starlette")
from playwright.sync_api import expect  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

from zarn_user.web import create_app  # noqa: E402


def test_run_read_and_save_over_http(db, tmp_path):  # noqa: F811
    path = tmp_path / "policy.toml"
    path.write_text(SHOP)
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as client:
        r = client.post("/api/v1/playground", params={"name": "p.toml"}, content=SHOP.replace(
            'expect = ["manager", "clerk"]', 'expect = ["manager"]'))
        body = r.json()
        assert r.status_code == 200 and body["app"] == "shop" and body["failed"] == 1
        assert body["results"][2]["message"].startswith('p.toml:28: expected ["manager"], got ["manager", "clerk"]')
        r = client.post("/api/v1/playground", content='app = "shop"\n[roles.aa]\nsub_roles = ["zz"]\n')
        assert r.status_code == 400 and r.json()["lines"] == [
            "playground.toml:2: sub-role 'zz' is no role of this file: define it as [roles.zz]"]
        r = client.post("/api/v1/playground", content='app = "shop"\n[[who]]\nobj = "o"\nact = "a"\nexpect = []\n')
        assert r.status_code == 400 and "holds no application" in r.json()["error"]
        assert client.get("/api/v1/playground/file").status_code == 404  # none served
        assert client.get("/api/v1/apps").json() == {"apps": ["shop"]}  # the store untouched

    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"], playground=str(path))) as client:
        assert client.get("/api/v1/playground/file").json() == {"name": "policy.toml", "text": SHOP}
        edited = SHOP.replace("[roles.idle]\n", "[roles.idle]\ngrants = { order = [\"read\"] }\n")
        assert client.put("/api/v1/playground/file", content=edited).status_code == 401
        r = client.put("/api/v1/playground/file", content="app = [\n", headers=AUTH)
        assert r.status_code == 400 and path.read_text() == SHOP  # a bad file is never saved
        r = client.put("/api/v1/playground/file", content=edited, headers=AUTH)
        assert r.status_code == 200 and r.json()["saved"] == "policy.toml" and r.json()["failed"] == 2
        assert path.read_text() == edited
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".playground")] == []


def test_serve_file_edit_rerun_save(browser, tmp_path):  # noqa: F811
    path = tmp_path / "policy.toml"
    path.write_text(SHOP)
    port = _free_port()
    proc = subprocess.Popen([sys.executable, "-m", "zarn_user.cli", "serve", str(path), "--port", str(port)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV, cwd=tmp_path)
    try:
        token = proc.stderr.readline().split("#token=")[1].split(" ")[0].strip()
        assert proc.stdout.readline().startswith(f"zarn-roles: serving http://127.0.0.1:{port}/")
        context = browser.new_context(base_url=f"http://127.0.0.1:{port}")
        page = context.new_page()
        page.set_default_timeout(10_000)
        page.goto(f"/#token={token}")
        expect(page.locator("#apps li")).to_have_text(["shop"])
        expect(page.locator("#pg-result > div").first).to_have_text("all 6 hold")
        expect(page.locator("#mode")).to_have_text("changes allowed")
        text = page.locator("#pg-text")
        text.fill(SHOP.replace('users = true\nexpect = ["bob", "alice@example.com"]', 'users = true\nexpect = ["bob"]'))
        expect(page.locator("#pg-result > div").first).to_have_text("1 of 6 fail")
        expect(page.locator("#pg-result li.fails")).to_contain_text(
            'policy.toml:34: expected ["bob"], got ["alice@example.com", "bob"] (who order:read --users)')
        page.click("#pg-save")
        expect(page.locator("#pg-result")).to_contain_text("saved policy.toml")
        assert 'expect = ["bob"]\n' in path.read_text()
        with page.expect_download() as download:
            page.click("#pg-download")
        assert download.value.suggested_filename == "policy.toml"
        page.set_input_files("#pg-file", files=[{"name": "other.toml", "mimeType": "text/plain",
                                                 "buffer": SHOP.encode()}])
        expect(page.locator("#pg-result > div").first).to_have_text("all 6 hold")
        page.locator("#apps a", has_text="shop").click()  # the file's application, in the console
        page.locator("#role-list a", has_text="manager").click()
        expect(page.locator("#graph .node")).to_have_count(2)
        context.close()
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(10)
    assert proc.returncode == 0
    assert not list(tmp_path.glob("*.sqlite3"))  # served from memory: no store made
