"""What the web integration tests share: an application's roles, and a change made by another
process while the app runs."""

import os
import subprocess
import sys

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def build_shop(rm, engine):
    """clerk reads invoices; billing writes them and contains clerk; alice is an owner."""
    from zarn_user.users import UserRoles

    m = rm.RoleMatrix.load_or_create("shop", engine=engine)
    m.add_role_permissions("clerk", [{"obj": "invoice", "act": "read"}])
    m.add_role_permissions("billing", [{"obj": "invoice", "act": "write"}])
    m.add_role_sub_roles("billing", ["clerk"])
    m.add_role_sub_roles("owner", ["billing"])
    UserRoles(app="shop").assign("alice", ["owner"], m)
    return m


def elsewhere(url: str, *argv: str) -> None:
    """Run a zarn-roles command in another process on the store at `url`."""
    done = subprocess.run([sys.executable, "-m", "zarn_user.cli", "--db", url, *argv], env=ENV,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
