"""The Flask decorator, through Flask's test client on each store."""

import pytest
from flask import Blueprint, Flask, jsonify, request

import zarn_engine
from webapps import build_shop, elsewhere
from zarn_user.flask import check, init_app, permissions, require


def make_app(engine, debug=False, **sources):
    app = Flask(__name__)
    app.debug = debug
    counted = []
    if not sources:
        sources = {"roles": lambda: request.headers.get("X-Roles", "").split(",") if "X-Roles" in request.headers
                   else None, "user": lambda: request.headers.get("X-User")}
    directory = init_app(app, application="shop", db=engine, **sources)
    real = directory.permissions
    directory.permissions = lambda *a: counted.append(a) or real(*a)

    @app.get("/invoices")
    @require("invoice", "read")
    def invoices():
        return jsonify(permissions().to_display())

    @app.post("/invoices")
    @require("invoice", "read")
    @require("invoice", "write")
    async def write():  # async views run too
        return {"written": True}

    bp = Blueprint("billing", __name__, url_prefix="/billing")
    bp.before_request(lambda: check("invoice", "write"))

    @bp.get("/")
    def billing():
        return {"ok": True}

    app.register_blueprint(bp)
    app.counted = counted
    return app


@pytest.fixture
def shop(rm, engine):
    return build_shop(rm, engine)


def test_roles_users_and_refusals(shop, engine):
    app = make_app(engine)
    client = app.test_client()
    assert client.get("/invoices").status_code == 401
    assert client.get("/invoices", headers={"X-Roles": "clerk"}).json["permissions"] == \
        [{"obj": "invoice", "act": "read"}]
    refused = client.post("/invoices", headers={"X-Roles": "clerk"})
    assert refused.status_code == 403 and b"not allowed: invoice:write is not held" in refused.data
    assert b"ignored" not in refused.data
    assert client.post("/invoices", headers={"X-User": "alice"}).status_code == 200
    assert client.post("/invoices", headers={"X-User": "stranger"}).status_code == 403
    assert client.get("/billing/", headers={"X-Roles": "billing"}).status_code == 200
    assert client.get("/billing/", headers={"X-Roles": "clerk"}).status_code == 403
    assert client.get("/billing/").status_code == 401
    app.counted.clear()
    client.post("/invoices", headers={"X-User": "alice"})
    assert len(app.counted) == 1  # two requires and the view's permissions(): one answer

    nodes = len(zarn_engine.Live(type(shop), engine=engine).get("shop").dag)
    for n in range(200):
        assert client.get("/invoices", headers={"X-Roles": f"made_up_{n}"}).status_code == 403
    directory = app.extensions["zarn_roles"].directory
    assert len(directory.matrix().dag) == nodes
    directory.close()


def test_debug_and_configuration(shop, engine):
    app = make_app(engine, debug=True)
    refused = app.test_client().post("/invoices", headers={"X-Roles": "clerk,nope"})
    assert refused.status_code == 403 and b"ignored [&#39;nope&#39;]" in refused.data
    app.extensions["zarn_roles"].directory.close()

    bare = Flask(__name__)
    with pytest.raises(TypeError):
        init_app(bare)
    with pytest.raises(ValueError, match="application"):
        init_app(bare, roles=lambda: ["clerk"])
    bare.config["ZARN_ROLES"] = {"APP": "shop", "DB": engine}
    init_app(bare, roles=lambda: ["clerk"])

    @bare.get("/")
    @require("invoice", "read")
    def index():
        return "ok"

    assert bare.test_client().get("/").status_code == 200
    bare.extensions["zarn_roles"].directory.close()

    unregistered = Flask(__name__)
    unregistered.get("/")(require("invoice", "read")(lambda: "never"))
    unregistered.testing = True
    with pytest.raises(RuntimeError, match="init_app"):
        unregistered.test_client().get("/")


def test_a_revoke_elsewhere_refuses_the_next_request(rm, shop, engine, store_url):
    app = make_app(engine)
    client = app.test_client()
    assert client.post("/invoices", headers={"X-User": "alice"}).status_code == 200
    if store_url == "memory:":
        rm.RoleMatrix.load("shop", engine=engine).set_role_permissions("billing", [])
    else:
        elsewhere(store_url, "revoke", "shop", "billing", "invoice", "write")
    assert client.post("/invoices", headers={"X-User": "alice"}).status_code == 403
    assert client.get("/invoices", headers={"X-User": "alice"}).status_code == 200
    app.extensions["zarn_roles"].directory.close()


def test_a_store_failure_is_503(shop, engine):
    app = make_app(engine)
    directory = app.extensions["zarn_roles"].directory

    def broken(*args):
        raise zarn_engine.ConnectionLost("the store went away")

    directory.permissions = broken
    assert app.test_client().get("/invoices", headers={"X-Roles": "clerk"}).status_code == 503
    directory.close()
