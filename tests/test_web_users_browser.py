"""Users on the console's page in Chromium: assigned, listed, shown, checked and found."""

from test_web_browser import TOKEN, browser, cli, db, page, shop, url, use_token  # noqa: F401  (fixtures)

from playwright.sync_api import expect  # noqa: E402


def test_users_assigned_checked_and_listed(page, shop, db):  # noqa: F811
    assert cli(db, "assign", shop, "bob@example.com", "viewer")[0] == 0
    page.goto(f"/apps/{shop}")
    expect(page.locator("#user-list li")).to_have_text(["bob@example.comviewer"])
    use_token(page)
    page.fill("#user-id", "alice@example.com")
    page.fill("#user-roles", "manager ghost")
    page.click("#user-assign")
    expect(page.locator("#user-result")).to_have_text(f"unknown role 'ghost' in application '{shop}'")
    page.fill("#user-roles", "manager")
    page.click("#user-assign")
    expect(page.locator("#user-result .answer")).to_have_text("alice@example.com")
    expect(page.locator("#user-result a.role")).to_have_text(["manager"])
    expect(page.locator("#user-result li.perm")).to_contain_text(["order:write", "catalog:read"])
    expect(page.locator("#user-list a.user")).to_have_text(["alice@example.com", "bob@example.com"])
    assert cli(db, "check", shop, "--user", "alice@example.com", "order", "write")[0] == 0

    page.fill("#check-roles", "alice@example.com")  # no role name: checked as a user
    page.fill("#check-obj", "catalog")
    page.fill("#check-act", "read")
    page.click("#check-form button")
    expect(page.locator("#check-result .answer")).to_have_text("yes")
    expect(page.locator("#check-result .explanation")).to_have_text(
        "alice@example.com holds catalog:read through alice@example.com -> manager -> clerk -> viewer "
        "(granted to viewer)")
    expect(page.locator("#role-title")).to_have_text("manager")  # the path, in the graph
    expect(page.locator('#graph [stroke="#c0392b"]')).not_to_have_count(0)
    expect(page.locator("#check-kind")).to_have_value("user")
    page.select_option("#check-kind", "roles")
    page.fill("#check-roles", "bob")  # a role name: checked as a role, and there is none
    page.click("#check-form button")
    expect(page.locator("#check-result .answer")).to_have_text("no")
    expect(page.locator("#check-result")).to_contain_text("not in")

    page.fill("#who-obj", "catalog")
    page.fill("#who-act", "read")
    page.check("#who-users")
    page.click("#who-form button")
    expect(page.locator("#who-result a.user")).to_have_text(["alice@example.com", "bob@example.com"])  # by id

    page.fill("#user-roles", "clerk")
    page.click("#user-unassign")
    expect(page.locator("#user-result .error")).to_have_text(
        "not unassigned: alice@example.com does not have role clerk directly; it holds it through "
        "alice@example.com -> manager -> clerk (unassign manager)")
    page.fill("#user-search", "BOB")
    expect(page.locator("#user-list a.user")).to_have_text(["bob@example.com"])
