"""The console's page in a real browser: Debian's Chromium driven by Playwright, against a
uvicorn server on 127.0.0.1, while the command line changes the same database."""

import contextlib
import io
import os
import socket
import threading
import time

import pytest

CHROMIUM = "/usr/bin/chromium"
IN_CI = os.environ.get("CI") == "true"

if not IN_CI:
    pytest.importorskip("playwright", reason="Playwright is not installed: pip install '.[test]'")
    pytest.importorskip("starlette", reason="the web extra is not installed: pip install '.[web]'")

import uvicorn  # noqa: E402
from playwright.sync_api import expect, sync_playwright  # noqa: E402

from zarn_user.cli import main as cli_main  # noqa: E402
from zarn_user.web import create_app  # noqa: E402

TOKEN = "page-token"


def cli(db, *args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli_main(["--db", db, *args])
    return status, out.getvalue(), err.getvalue()


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    return str(tmp_path_factory.mktemp("browser") / "roles.sqlite3")


@pytest.fixture(scope="module")
def url(db):
    cli(db, "init", "seed")
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(create_app(db, token=TOKEN), log_level="warning", access_log=False,
                                           timeout_graceful_shutdown=1))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not server.started:
        assert time.monotonic() < deadline, "the server did not start"
        time.sleep(0.02)
    yield f"http://127.0.0.1:{port}"
    server.should_exit = True
    thread.join(10)
    sock.close()


@pytest.fixture(scope="module")
def browser():
    if not os.path.exists(CHROMIUM):
        message = f"Chromium is not installed at {CHROMIUM} (apt-get install chromium)"
        if IN_CI:
            pytest.fail(message)
        pytest.skip(message)
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield b
        b.close()


@pytest.fixture
def shop(db, request):
    """A fresh application for each test, named after it."""
    name = request.node.name.removeprefix("test_").replace("_", "-")[:19].strip("-")
    for argv in [["init", name], ["grant", name, "clerk", "order", "read", "write"],
                 ["grant", name, "viewer", "catalog", "read"], ["include", name, "clerk", "viewer"],
                 ["include", name, "manager", "clerk"]]:
        assert cli(db, *argv)[0] == 0, argv
    return name


@pytest.fixture
def page(browser, url):
    context = browser.new_context(base_url=url)
    pg = context.new_page()
    pg.set_default_timeout(10_000)
    dialogs = []
    pg.on("dialog", lambda d: (dialogs.append(d.message), d.dismiss()))
    errors = []
    pg.on("pageerror", lambda e: errors.append(str(e)))
    yield pg
    context.close()
    assert not dialogs and not errors, (dialogs, errors)


def use_token(page, token=TOKEN, mode="changes allowed"):
    page.fill("#token", token)
    page.click("#token-form button")
    expect(page.locator("#mode")).to_have_text(mode)


def test_roles_listed_and_checked(page, shop):
    page.goto(f"/apps/{shop}")
    expect(page.locator("#role-list li")).to_have_text(["admin", "clerk", "manager", "public", "root", "viewer"])
    page.fill("#role-search", "MAN")
    expect(page.locator("#role-list li")).to_have_text(["manager"])
    page.fill("#check-roles", "manager")
    page.fill("#check-obj", "catalog")
    page.fill("#check-act", "read")
    page.click("#check-form button")
    expect(page.locator("#check-result .answer")).to_have_text("yes")
    expect(page.locator("#check-result .explanation")).to_have_text(
        "manager holds catalog:read through manager -> clerk -> viewer (granted to viewer)")
    expect(page.locator("#check-result .path a")).to_have_text(["manager", "clerk", "viewer"])
    # The path is highlighted in the graph of the first role, and a node opens its role.
    expect(page.locator("#role-title")).to_have_text("manager")
    expect(page.locator('#graph [stroke="#c0392b"]')).not_to_have_count(0)
    marked = page.locator("#graph g").filter(has=page.locator('[stroke="#c0392b"]')).locator("title")
    assert {"manager", "clerk", "viewer"} <= set(marked.all_text_contents())
    page.locator("#graph a", has_text="viewer").first.click()
    expect(page.locator("#role-title")).to_have_text("viewer")
    expect(page.locator("#containers li")).to_have_text(["clerk"])
    page.fill("#check-roles", "viewer")
    page.fill("#check-obj", "order")
    page.click("#check-form button")
    expect(page.locator("#check-result .answer")).to_have_text("no")


def test_grants_both_ways(page, shop, db):
    page.goto(f"/apps/{shop}?role=viewer")
    use_token(page)
    page.fill("#grant-obj", "catalog")
    page.fill("#grant-act", "list")
    page.click("#grant-form button")
    expect(page.locator("#direct td.perm")).to_have_text(["catalog:read", "catalog:list"])
    assert cli(db, "check", shop, "manager", "catalog", "list")[0] == 0
    # A change made by the command line appears on the open page, without a reload.
    page.evaluate("window.__same_page = true")
    assert cli(db, "grant", shop, "viewer", "stock", "count")[0] == 0
    expect(page.locator("#direct td.perm")).to_have_text(["catalog:read", "catalog:list", "stock:count"])
    expect(page.locator("#implicit td.perm")).to_contain_text(["stock:count"])
    assert page.evaluate("window.__same_page") is True


def test_cycle_refused_with_reason(page, shop, db):
    page.goto(f"/apps/{shop}?role=viewer")
    use_token(page)
    page.fill("#include-role", "manager")
    page.click("#include-form button")
    expect(page.locator("#edit-error")).to_have_text(
        "refused: manager cannot become a sub-role of viewer, since manager contains clerk contains viewer "
        "already (a cycle)")
    expect(page.locator("#subs li")).to_have_text(["none"])
    assert '"viewer"' not in cli(db, "--json", "show", shop, "viewer")[1].split('"roles"')[1].split("]")[0]


def test_import_with_bad_lines_writes_nothing(page, shop, db):
    before = cli(db, "export", shop)[1]
    page.goto(f"/apps/{shop}")
    use_token(page)
    bad = b"p, auditor, ledger, read\np, bad name, x, y\ng, clerk, auditor\ng, a, b, tenant\n"
    page.set_input_files("#import-file", files=[{"name": "policy.csv", "mimeType": "text/csv", "buffer": bad}])
    page.click("#import-form button[type=submit]")
    expect(page.locator("#import-result .error")).to_have_text("2 bad line(s): nothing was imported")
    lines = page.locator("#import-result .bad-lines li")
    expect(lines).to_have_count(2)
    expect(lines.first).to_contain_text("policy.csv:2: invalid role name 'bad name'")
    expect(lines.nth(1)).to_contain_text("policy.csv:4: domains (tenants) are not supported")
    assert cli(db, "export", shop)[1] == before


def test_writes_without_the_token_refused(page, shop, db):
    before = cli(db, "export", shop)[1]
    page.goto(f"/apps/{shop}?role=clerk")
    expect(page.locator("#mode")).to_have_text("token needed for changes")
    page.fill("#grant-obj", "invoice")
    page.fill("#grant-act", "void")
    page.click("#grant-form button")
    expect(page.locator("#edit-error")).to_have_text("writes need the token: Authorization: Bearer TOKEN")
    use_token(page, "not-the-token", "wrong token")  # a wrong token is refused the same way
    page.locator("#direct button", has_text="revoke").first.click()
    expect(page.locator("#edit-error")).to_contain_text("writes need the token")
    assert cli(db, "export", shop)[1] == before


def test_hostile_object_name_is_text(page, shop, db):
    obj = "<script>window.__pwned = 1</script>"
    act = '<img src=x onerror="window.__pwned = 2">'
    assert cli(db, "grant", shop, "viewer", obj, act)[0] == 0
    page.goto(f"/apps/{shop}?role=manager")
    expect(page.locator("#implicit td.perm")).to_contain_text([f"{obj}:{act}"])
    page.fill("#who-obj", obj)
    page.fill("#who-act", act)
    page.click("#who-form button")
    expect(page.locator("#who-result li").first).to_contain_text(obj)
    page.goto(f"/apps/{shop}?role=viewer")
    expect(page.locator("#direct td.perm").nth(1)).to_have_text(f"{obj}:{act}")
    expect(page.locator("#graph svg")).to_contain_text("<script>")
    assert page.evaluate("window.__pwned") is None
    assert page.locator("main script, main img").count() == 0


def test_assertions_run_on_the_page(page, shop):
    page.goto(f"/apps/{shop}")
    page.fill("#assert-text", '[[check]]\nrole = "manager"\nobj = "catalog"\nact = "read"\nexpect = true\n\n'
                              '[[who]]\nobj = "order"\nact = "write"\nexpect = ["clerk"]\n')
    page.click("#assert-form button")  # heavy work: the token is needed for it
    expect(page.locator("#assert-result > div").first).to_contain_text("heavy work, which needs the token")
    use_token(page)
    page.click("#assert-form button")
    expect(page.locator("#assert-result > div").first).to_have_text("1 of 2 fail")
    expect(page.locator("#assert-result li.holds")).to_contain_text("line 1: check manager catalog:read")
    expect(page.locator("#assert-result li.fails")).to_contain_text(
        'assertions.toml:7: expected ["clerk"], got ["admin", "clerk", "manager", "root"] (who order:write)')


def test_a_path_to_everything_given_only_when_ticked(page, shop, db):
    page.goto(f"/apps/{shop}?role=viewer")
    use_token(page)
    # A sub-role holding *:* and a grant of *:* are refused, saying how to ask; ticked, each
    # is made, and the box is cleared again for the next change.
    page.fill("#include-role", "root")
    page.click("#include-form button")
    expect(page.locator("#edit-error")).to_contain_text("refused: viewer would hold everything (*:*)")
    expect(page.locator("#subs li")).to_have_text(["none"])
    page.check("#allow-superuser")
    page.click("#include-form button")
    expect(page.locator("#subs li")).to_have_text(["root\u00d7"])
    expect(page.locator("#edit-error")).to_have_text("")
    expect(page.locator("#allow-superuser")).not_to_be_checked()
    page.goto(f"/apps/{shop}?role=public")
    page.fill("#grant-obj", "*")
    page.fill("#grant-act", "*")
    page.click("#grant-form button")
    expect(page.locator("#edit-error")).to_contain_text("refused: public would hold everything (*:*)")
    page.check("#allow-superuser")
    page.click("#grant-form button")
    expect(page.locator("#direct td.perm")).to_have_text(["*:*"])
    expect(page.locator("#allow-superuser")).not_to_be_checked()
    # A user given a role that holds *:*: the same.
    page.fill("#user-id", "eve@example.com")
    page.fill("#user-roles", "root")
    page.click("#user-assign")
    expect(page.locator("#user-result")).to_contain_text("refused: eve@example.com would hold everything")
    page.check("#user-allow-superuser")
    page.click("#user-assign")
    expect(page.locator("#user-result a.role")).to_have_text(["root"])
    expect(page.locator("#user-allow-superuser")).not_to_be_checked()
    assert cli(db, "check", shop, "--user", "eve@example.com", "anything", "at-all")[0] == 0


def test_exports_need_the_token_on_the_page(page, shop, db):
    page.goto(f"/apps/{shop}")
    page.click("#export-json")  # heavy work: refused without the token, said in a toast
    expect(page.locator("#toast")).to_contain_text("heavy work, which needs the token")
    use_token(page)
    with page.expect_download() as download:
        page.click("#export-casbin")
    assert download.value.suggested_filename == f"{shop}.csv"
    with open(download.value.path(), encoding="utf-8") as f:
        assert f.read() == cli(db, "export", shop, "--format", "casbin")[1]


def test_who_panel_pages_through_many_holders(page, shop, db, tmp_path):
    """The holders come 50 at a time, each page after the last by its cursor, to the end."""
    csv = tmp_path / "many.csv"
    csv.write_text("".join(f"g, h{n:03}, viewer\n" for n in range(120)))
    assert cli(db, "import", shop, str(csv))[0] == 0
    page.goto(f"/apps/{shop}")
    page.fill("#who-obj", "catalog")
    page.fill("#who-act", "read")
    page.click("#who-form button")
    rows = page.locator("#who-result li:not(:has(button))")
    expect(rows).to_have_count(50)
    more = page.locator("#who-result button.more-rows")
    holders = 120 + 5  # and viewer, clerk, manager, admin, root
    expect(more).to_have_text(f"show 50 more ({holders - 50} left)")
    more.click()
    expect(rows).to_have_count(100)
    more.click()
    expect(rows).to_have_count(holders)
    expect(more).to_have_count(0)
    shown = [t.split(" ")[0] for t in rows.all_inner_texts()]
    assert len(set(shown)) == holders
