"""Named tokens: several accepted, each change over HTTP logged under the name of the token it
was made with, in the same log as the command line's changes."""

import pytest

from test_web import cli, db  # noqa: F401  (fixture and helper)

pytest.importorskip("starlette")
from starlette.testclient import TestClient  # noqa: E402

from zarn_user.web import create_app, tokens  # noqa: E402


def test_parsing(tmp_path):
    assert tokens.parse(["ops=s3cret", "ci@build=x=y", "bare-secret"]) == {
        "ops": "s3cret", "ci@build": "x=y", "web": "bare-secret"}
    assert tokens.parse(["Zm9vYmFy="]) == {"web": "Zm9vYmFy="}  # nothing after "=": no name
    assert tokens.parse(["a b=c"]) == {"web": "a b=c"}  # no name before it either
    for values, reason in [(["a=x", "a=y"], "given to two tokens"), (["a=x", "b=x"], "two names"),
                           ([" x"], "white space"), (["x", "y"], "given to two tokens")]:
        with pytest.raises(tokens.TokenError, match=reason):
            tokens.parse(values)
    path = tmp_path / "tokens"
    path.write_text("# operators\nops=one\n\nci=two\n")
    assert tokens.read_file(str(path)) == {"ops": "one", "ci": "two"}
    with pytest.raises(tokens.TokenError, match="cannot read"):
        tokens.read_file(str(tmp_path / "none"))
    assert tokens.name_of({"ops": "one", "ci": "two"}, "two") == "ci"
    assert tokens.name_of({"ops": "one"}, "on") is None


def test_changes_over_http_are_logged_under_the_token_name(db):  # noqa: F811
    named = {"ops": "token-of-ops", "ci": "token-of-ci"}
    with TestClient(create_app(db, token=named, allow_hosts=["testserver"])) as client:
        def auth(secret):
            return {"Authorization": f"Bearer {secret}"}

        r = client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"},
                        headers=auth("token-of-ops"))
        assert r.status_code == 200
        r = client.post("/api/v1/apps/shop/users/assign", json={"user": "alice", "roles": ["clerk"]},
                        headers=auth("token-of-ci"))
        assert r.status_code == 200
        assert client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "c", "act": "d"},
                           headers=auth("token-of-nobody")).status_code == 401
        assert client.get("/api/v1", headers=auth("token-of-ci")).json()["authorized"] is True
    with TestClient(create_app(db, token="plain", allow_hosts=["testserver"])) as client:
        assert client.request("DELETE", "/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"},
                              headers={"Authorization": "Bearer plain"}).status_code == 200
    import json

    log = json.loads(cli(db, "--json", "log", "shop")[1])
    assert [(e["document"], e["who"]) for e in log[-3:]] == [("roles", "ops"), ("users", "ci"), ("roles", "web")]
    assert log[-3]["what"] == ["grant clerk a:b"] and log[-1]["what"] == ["revoke clerk a:b"]


def test_serve_refuses_bad_tokens(db, tmp_path):  # noqa: F811
    status, _, err = cli(db, "serve", "--port", "0", "--token", "a=x", "--token", "a=y")
    assert status == 2 and "the name 'a' is given to two tokens" in err
    status, _, err = cli(db, "serve", "--port", "0", "--token-file", str(tmp_path / "none"))
    assert status == 2 and "cannot read the token file" in err
    (tmp_path / "tokens").write_text("a=x\n")
    status, _, err = cli(db, "serve", "--port", "0", "--token", "a=z", "--token-file", str(tmp_path / "tokens"))
    assert status == 2 and "given to two tokens (--token and" in err
