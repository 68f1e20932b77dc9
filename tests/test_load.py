"""The module's load sequence: namespace, imports, class creation and failures."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

FIELDS = """
class Field:
    def __init__(self, *args, **options):
        self.args, self.options = args, options
class StringField(Field): pass
class DictField(Field): pass
"""

ENGINE = """
import sys
from zarn_fields import Field
requested = []
class ListField(Field): pass
class EmbeddedDocumentField(Field): pass
class Recorder(dict):
    pass
class Meta(type):
    log = []
    @classmethod
    def __prepare__(mcls, name, bases):
        return Recorder()
    def __new__(mcls, name, bases, ns):
        Meta.log.append((name, list(ns)))
        return super().__new__(mcls, name, bases, dict(ns))
class EmbeddedDocument(metaclass=Meta):
    def __init__(self, **kw):
        self.__dict__.update(kw)
class Document(EmbeddedDocument):
    pass
class AclItem(EmbeddedDocument): pass
class Acl: pass
"""


def run_with(tmp_path, code, fields=FIELDS, engine=ENGINE, extra=None):
    """Runs `code` in a new interpreter that finds the given framework first."""
    for name, source in (("zarn_fields", fields), ("zarn_engine", engine)):
        if source is not None:
            (tmp_path / name).mkdir(exist_ok=True)
            (tmp_path / name / "__init__.py").write_text(textwrap.dedent(source))
    for path, source in (extra or {}).items():
        (tmp_path / path).write_text(textwrap.dedent(source))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=60)


def test_namespace(rm):
    names = list(vars(rm))
    assert names[names.index("annotations"):] == [
        "annotations", "StringField", "DictField", "AclItem", "ListField", "EmbeddedDocumentField",
        "Document", "EmbeddedDocument", "Acl", "Policy", "Group", "RoleContent", "RoleMatrix"]
    assert set(names[:names.index("annotations")]) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__builtins__", "__file__", "__cached__"}
    import __future__

    assert rm.annotations is __future__.annotations
    assert rm.__doc__ is None and rm.__cached__ is None
    assert rm.__package__ == "zarn_user" and rm.__name__ == "zarn_user.role_matrix"
    assert os.path.dirname(rm.__file__) == os.path.dirname(sys.modules["zarn_user"].__file__)
    assert rm.__spec__.origin == rm.__file__ and rm.__spec__.has_location


def test_only_the_entry_point_is_exported(rm):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", rm.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_role_matrix"]


def test_class_namespaces_in_body_order(tmp_path):
    r = run_with(tmp_path, """
        import json, zarn_engine, zarn_user.role_matrix as m
        print(json.dumps(zarn_engine.Meta.log[-4:]))
    """)
    assert r.returncode == 0, r.stderr
    log = dict((name, keys) for name, keys in json.loads(r.stdout))
    head = ["__module__", "__qualname__", "__annotations__"]
    assert log["Policy"] == head + ["sub", "obj", "act"]
    assert log["Group"] == head + ["child", "parent"]
    assert log["RoleContent"] == head + ["name", "roles", "permissions"]
    assert log["RoleMatrix"] == [
        "__module__", "__doc__", "__qualname__", "__annotations__", "_key_fields", "_actions",
        "name", "policies", "groups", "new_user_fields", "new_user_roles", "new_user_profile", "callback_urls",
        "__init__", "_dag_add_policy", "_dag_set_policies", "_dag_add_group", "_dag_set_groups", "_dag_generate",
        "_dfs", "_check_new_group", "_add_permissions", "_add_groups", "_set_sub_permissions", "_set_sub_groups",
        "get_role_contents", "add_role_permissions", "set_role_permissions", "add_role_sub_roles",
        "set_role_sub_roles", "get_implicit_permissions_for_roles", "__classcell__"]


def test_missing_name_fails_cleanly(tmp_path):
    r = run_with(tmp_path, """
        import sys, traceback
        try:
            import zarn_user.role_matrix
        except ImportError as exc:
            print(exc)
            print("zarn_user.role_matrix" in sys.modules, "zarn_engine" in sys.modules)
            print(traceback.extract_tb(exc.__traceback__)[-1].name)
    """, fields=FIELDS.replace("class DictField(Field): pass", ""))
    assert r.returncode == 0, r.stderr
    message, flags, frame = r.stdout.splitlines()
    assert message.startswith("cannot import name 'DictField' from 'zarn_fields' (")
    assert flags == "False False"
    assert frame == "<module>"


def test_framework_failure_reaches_the_importer(tmp_path):
    r = run_with(tmp_path, """
        import sys
        try:
            import zarn_user.role_matrix
        except LookupError as exc:
            print(type(exc).__name__, exc, "zarn_user.role_matrix" in sys.modules)
    """, engine="raise LookupError('broken engine')\n")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "LookupError broken engine False"


def test_second_import_and_submodule_names(tmp_path):
    engine = ENGINE.replace("class Acl: pass", "")
    # Acl is a submodule of the package, not an attribute of it.
    extra = {"zarn_engine/Acl.py": ""}
    (tmp_path / "zarn_engine").mkdir()
    r = run_with(tmp_path, """
        import importlib, zarn_user.role_matrix as m
        classes = m.RoleMatrix
        again = importlib.import_module("zarn_user.role_matrix")
        print(again is m, again.RoleMatrix is classes, type(m.Acl).__name__)
    """, engine=engine, extra=extra)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True True module"


def test_prepare_must_return_a_mapping(tmp_path):
    engine = ENGINE.replace("return Recorder()", "return 1")
    r = run_with(tmp_path, """
        try:
            import zarn_user.role_matrix
        except TypeError as exc:
            print(exc)
    """, engine=engine)
    assert r.stdout.strip() == "Meta.__prepare__() must return a mapping, not int", r.stderr


def test_mro_entries_and_orig_bases(tmp_path):
    engine = ENGINE + """
class _Real(Document): pass
class Alias:
    def __mro_entries__(self, bases):
        return (_Real,)
Document = Alias()
"""
    r = run_with(tmp_path, """
        import zarn_engine, zarn_user.role_matrix as m
        print(m.RoleMatrix.__bases__[0].__name__, m.RoleMatrix.__orig_bases__[0] is zarn_engine.Document)
        print(zarn_engine.Meta.log[-1][1][-2:])
    """, engine=engine)
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.splitlines()
    assert first == "_Real True"
    assert second == "['__classcell__', '__orig_bases__']"


def test_class_body_name_missing_raises_the_interpreters_name_error(tmp_path):
    # A list field that takes AclItem out of the loading module before RoleContent's body
    # reads it: the body's lookup fails as a class statement's would.
    engine = ENGINE.replace("class ListField(Field): pass", """
class ListField(Field):
    def __init__(self, *args, **options):
        sys.modules["zarn_user.role_matrix"].__dict__.pop("AclItem", None)
        super().__init__(*args, **options)
""")
    r = run_with(tmp_path, """
        try:
            import zarn_user.role_matrix
        except NameError as exc:
            print(exc.args, exc.name)
        try:
            class Plain:
                x = AclItem
        except NameError as exc:
            print(exc.args, exc.name)
    """, engine=engine)
    assert r.returncode == 0, r.stderr
    ours, theirs = r.stdout.splitlines()
    assert ours == theirs == "(\"name 'AclItem' is not defined\",) AclItem"
