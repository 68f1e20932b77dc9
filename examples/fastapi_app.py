"""A guarded FastAPI app: python examples/fastapi_app.py, then

    curl -H 'X-User: bob' http://127.0.0.1:8000/invoices            # 200: bob is a clerk
    curl -X POST -H 'X-User: bob' http://127.0.0.1:8000/invoices    # 403
    curl -X POST -H 'X-User: alice@example.com' http://127.0.0.1:8000/invoices   # 200: an owner
    curl http://127.0.0.1:8000/invoices                             # 401
"""

import uvicorn
from fastapi import APIRouter, Depends, FastAPI, Header

from seed import DB, seed
from zarn_user.fastapi import RoleGuard


def current_user(x_user: str | None = Header(None)) -> str | None:
    return x_user  # a real app reads its session or token here


guard = RoleGuard("shop", user=current_user, engine=DB)
app = FastAPI()
invoices = APIRouter(prefix="/invoices", dependencies=[Depends(guard.require("invoice", "read"))])


@invoices.get("")
def list_invoices():
    return [{"id": 1, "total": 42}]


@invoices.post("", dependencies=[Depends(guard.require("invoice", "write"))])
def add_invoice():
    return {"id": 2}


@app.get("/me")
def me(permissions=Depends(guard.permissions)):
    return permissions.to_display()


app.include_router(invoices)

if __name__ == "__main__":
    seed()
    uvicorn.run(app, host="127.0.0.1", port=8000)
