"""The record classes and the RoleMatrix document as declared to the framework."""

import re

import pytest
from zarn_fields import ValidationError

NAME = "^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$"
APP = "^(?=[A-Za-z0-9])(?!.*--)[A-Za-z0-9-]{1,18}[A-Za-z0-9]$"


def fields(cls):
    return [(k, type(v).__name__, v.options) for k, v in cls._fields.items()]


def test_records(rm):
    assert fields(rm.Policy) == [(n, "StringField", {"required": True}) for n in ("sub", "obj", "act")]
    assert fields(rm.Group) == [(n, "StringField", {"required": True, "regex": NAME}) for n in ("child", "parent")]
    assert rm.Policy.__annotations__ == {"sub": "str", "obj": "str", "act": "str"}
    assert rm.RoleContent.__annotations__ == {"name": "str", "roles": "list", "permissions": "list"}
    for cls in (rm.Policy, rm.Group, rm.RoleContent):
        assert cls.__doc__ is None
        assert cls.__bases__ == (rm.EmbeddedDocument,)
        assert cls.__module__ == "zarn_user.role_matrix"
        assert list(vars(cls))[:2] == ["__module__", "__annotations__"]  # the class keeps no __qualname__

    rc = rm.RoleContent._fields
    assert list(rc["name"].options.items()) == [("sample", "user_admin"), ("description", "Role Name"), ("regex", NAME)]
    assert list(rc["roles"].options) == ["description", "default"]
    assert rc["roles"].item_field.options == {"regex": NAME}
    assert rc["permissions"].item_field.document_type is rm.AclItem
    assert rc["permissions"].item_field.options == {}
    assert rc["roles"].default == [] and rc["permissions"].default == []
    assert rc["roles"].default is not rc["permissions"].default


def test_records_compare_by_value(rm):
    assert rm.Policy(sub="root", obj="*", act="*") == rm.Policy(sub="root", obj="*", act="*")
    assert rm.Policy(sub="root", obj="*", act="*") != rm.Policy(sub="root", obj="*", act="r")
    assert rm.Group(child="aa", parent="bb") in [rm.Group(child="aa", parent="bb")]
    assert rm.Group(child="admin", parent="root").parent == "root"


def test_role_matrix_declaration(rm):
    R = rm.RoleMatrix
    assert R.__bases__ == (rm.Document,)
    assert R.__doc__ == (
        "Permission organization of an application. This object only contains the role and role contents\n\n"
        "    Rules:\n        * Each user could only be assigned to a role\n    ")
    assert R._key_fields == ["name"]
    assert list(R._actions) == ["get_role_contents", "add_role_permissions", "set_role_permissions",
                                "add_role_sub_roles", "set_role_sub_roles", "get_implicit_permissions_for_roles"]
    for key, value in R._actions.items():
        assert value["out"] is rm.RoleContent
        if key in ("add_role_permissions", "set_role_permissions"):
            assert list(value) == ["out", "in"] and value["in"] == {"permissions": rm.AclItem}
            assert value["in"]["permissions"] is rm.AclItem
        else:
            assert list(value) == ["out"]
    assert R.__annotations__ == {"name": "str", "policies": "list", "groups": "list", "new_user_fields": "list",
                                 "new_user_roles": "list", "new_user_profile": "dict", "callback_urls": "list"}
    assert list(R.__annotations__) == ["name", "policies", "groups", "new_user_fields", "new_user_roles",
                                       "new_user_profile", "callback_urls"]
    ns = list(vars(R))
    assert ns[:5] == ["__module__", "__doc__", "__annotations__", "_key_fields", "_actions"]
    f = dict((k, (t, o)) for k, t, o in fields(R))
    assert f["name"] == ("StringField", {"description": "Application Name", "unique": True, "regex": APP})
    assert f["policies"] == ("ListField", {}) and f["groups"] == ("ListField", {})
    assert vars(R)["policies"].item_field.options == {"document_type": rm.Policy}
    assert vars(R)["groups"].item_field.options == {"document_type": rm.Group}
    assert f["new_user_profile"] == ("DictField", {"description": "New user's profile"})
    defaults = [vars(R)[n].default for n in ("new_user_fields", "new_user_roles", "callback_urls")]
    assert defaults == [[], [], []] and len({id(d) for d in defaults}) == 3
    assert list(f["callback_urls"][1].items())[0] == ("description", "List of authorized callback Url")


@pytest.mark.parametrize("name", ["user_admin", "admin", "root", "a1", "Z9", "a_b_c"])
def test_role_name_pattern_accepts(name):
    assert re.search(NAME, name)


@pytest.mark.parametrize("name", ["a", "a" * 20, "a__b", "_ab", "ab_", "a-b", "a*", "*"])
def test_role_name_pattern_refuses(name):
    assert not re.search(NAME, name)


def test_app_name_pattern():
    assert re.search(APP, "my-app-2") and not re.search(APP, "my_app") and not re.search(APP, "a--b")


def test_invalid_values_never_enter_a_document(rm):
    m = rm.RoleMatrix(name="app")
    before = (list(m.policies), list(m.groups), {k: list(v) for k, v in m.dag.items()})
    calls = [
        lambda: m.add_role_permissions("viewer", [{"obj": "doc"}]),
        lambda: m.add_role_permissions(5, [{"obj": "doc", "act": "read"}]),
        lambda: m.add_role_permissions("viewer", [{"obj": None, "act": "read"}]),
        lambda: m.add_role_sub_roles("bad name", ["root"]),
        lambda: m.set_role_sub_roles("admin", ["no good"]),
    ]
    for call in calls:
        with pytest.raises(ValidationError):
            call()
        assert (m.policies, m.groups) == before[:2]
    assert m.add_role_permissions("viewer", [{"obj": "doc", "act": "read"}]).permissions  # saves
    # Built from plain data, names are taken as they are (joined names, stored documents).
    assert rm.RoleContent.from_display(name="a,b", permissions=[]).name == "a,b"
    with pytest.raises(ValidationError, match=r"Group\.child: does not match .*'x'"):
        rm.Group(child="x", parent="root")


