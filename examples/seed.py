"""The examples' shop: its roles and two users, in a SQLite file beside this one."""

import os

import zarn_engine
import zarn_user.role_matrix as rm
from zarn_user.users import UserRoles

DB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "shop-roles.sqlite3")


def seed(db: str = DB) -> None:
    """clerk reads invoices; billing writes them and contains clerk; owner contains billing.
    alice@example.com is an owner, bob a clerk. Made once; later runs keep what is there."""
    engine = zarn_engine.open_engine(db)
    if "shop" not in rm.RoleMatrix.keys(engine=engine):
        m = rm.RoleMatrix(name="shop")
        m.save(engine)
        m.add_role_permissions("clerk", [{"obj": "invoice", "act": "read"}])
        m.add_role_permissions("billing", [{"obj": "invoice", "act": "write"}])
        m.add_role_sub_roles("billing", ["clerk"])
        m.add_role_sub_roles("owner", ["billing"])
        users = UserRoles.load_or_create("shop", engine=engine)
        users.assign("alice@example.com", ["owner"], m)
        users.assign("bob", ["clerk"], m)
    engine.close()
    print(f"roles of shop in {db}: zarn-roles --db {db} show shop")
