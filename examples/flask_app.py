"""A guarded Flask app: python examples/flask_app.py, then

    curl -H 'X-User: bob' http://127.0.0.1:5000/invoices            # 200: bob is a clerk
    curl -X POST -H 'X-User: bob' http://127.0.0.1:5000/invoices    # 403
    curl http://127.0.0.1:5000/invoices                             # 401
"""

from flask import Flask, jsonify, request

from seed import DB, seed
from zarn_user.flask import init_app, permissions, require

app = Flask(__name__)
# A real app reads its session or token here.
init_app(app, user=lambda: request.headers.get("X-User"), application="shop", db=DB)


@app.get("/invoices")
@require("invoice", "read")
def list_invoices():
    return jsonify([{"id": 1, "total": 42}])


@app.post("/invoices")
@require("invoice", "write")
def add_invoice():
    return {"id": 2}


@app.get("/me")
def me():
    return permissions().to_display()


if __name__ == "__main__":
    seed()
    app.run(host="127.0.0.1", port=5000)
