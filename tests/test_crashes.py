"""Paths that once crashed the interpreter: each runs in a subprocess, which must end with an
answer or the interpreter's own exception, never a signal."""

import os
import subprocess
import sys

import pytest

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}

CHAIN = """
import functools, sys, zarn_engine
import zarn_user.role_matrix as rm
zarn_engine.use_engine(zarn_engine.MemoryEngine())
n = 200_000
names = [f"r{i}" for i in range(n)]

class Partial(rm.RoleMatrix):
    _dfs = functools.partialmethod(rm.RoleMatrix._dfs)

m = (Partial if sys.argv[1] == "partialmethod" else rm.RoleMatrix)(policies=[], groups=[])
m.dag = {a: [b] for a, b in zip(names, names[1:])}
m.dag[names[-1]] = []
if sys.argv[1] == "bound":
    m._dfs = m._dfs
elif sys.argv[1] == "partial":
    m._dfs = functools.partial(rm.RoleMatrix._dfs, m)
for call in (lambda: m.get_implicit_permissions_for_roles(["r0"]),
             lambda: m._check_new_group(rm.Group(child=names[-1], parent="r0")),
             lambda: m._dfs("r0", dict.fromkeys(m.dag, False))):
    try:
        call()
        print("answered")
    except RecursionError:
        print("RecursionError")
"""

SIGNATURE = """
import inspect, zarn_engine
import zarn_user.role_matrix as rm
f = rm.RoleMatrix.get_role_contents
real = inspect.Parameter

class Meddling(real):
    def __init__(self, *args, **kwargs):
        f.__defaults__ = None  # from another thread or a callback, while the signature is built
        super().__init__(*args, **kwargs)

inspect.Parameter = Meddling
print(f.__signature__)
"""


def run(code, *args):
    r = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, env=ENV, timeout=300)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    return r.stdout.split()


@pytest.mark.parametrize("alias", ["bound", "partial", "partialmethod"])
def test_deep_chain_through_c_aliases_raises_recursion_error(alias):
    assert run(CHAIN, alias) == ["RecursionError"] * 3


def test_own_search_answers_a_deep_chain():
    assert run(CHAIN, "own") == ["answered"] * 3


def test_signature_while_defaults_change():
    assert run(SIGNATURE) == ["(self,", "role_name:", "'str',", "_acl=None)"]


def test_no_vectorcall_offset_attribute(rm):
    assert not hasattr(rm.RoleMatrix._dfs, "__vectorcalloffset__")
    assert not hasattr(lambda: None, "__vectorcalloffset__")
