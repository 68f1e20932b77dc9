// The RoleMatrix document: docstring, key, actions, stored fields and the method table.
#include "graph/graph.hpp"
#include "model/declarations.hpp"
#include "model/patterns.hpp"

namespace zarn {

namespace {

constexpr const char* class_doc =
    "Permission organization of an application. This object only contains the role and role contents\n\n"
    "    Rules:\n"
    "        * Each user could only be assigned to a role\n"
    "    ";

constexpr const char* dfs_doc =
    "Deep First Search\n\n"
    "        Args:\n"
    "            start: start point\n"
    "            discovered: a dictionary [point, discovered] to mark if a point could be reached from start point\n\n"
    "        Returns:\n"
    "            discovered record after searching.\n"
    "        ";

constexpr const char* check_new_group_doc =
    "Check if new added group will break DAG (making a circular)\n\n"
    "        Args:\n"
    "            new_group: New group to be added into DAG\n\n"
    "        Returns:\n"
    "            True if the new group is safe else False\n"
    "        ";

constexpr const char* get_role_contents_doc =
    "Get Role Contents\n\n"
    "        Args:\n"
    "            role_name: Name of role\n"
    "            _acl: Access Control List\n\n"
    "        Returns:\n"
    "            Role Content object\n"
    "        ";

constexpr const char* implicit_doc =
    "Get full recursive permission of a list of roles\n\n"
    "        Args:\n"
    "            role_names (:obj:`list`): Role list\n"
    "            _acl: Access Control List\n\n"
    "        Returns:\n"
    "            Role Content object of all implicit permissions\n"
    "        ";

}  // namespace

namespace spec {
// name, nparams, params, annotations, return annotation, **name, (None,) defaults, doc, impl
const MethodSpec init = {"__init__", 1, {"self"}, {}, nullptr, "kwargs", false, nullptr, graph::init};
const MethodSpec dag_add_policy = {"_dag_add_policy", 2, {"self", "policy"}, {nullptr, "Policy"},
                                   nullptr, nullptr, false, nullptr, graph::dag_add_policy};
const MethodSpec dag_set_policies = {"_dag_set_policies", 3, {"self", "sub", "policies"},
                                     {nullptr, nullptr, "list"}, nullptr, nullptr, false, nullptr,
                                     graph::dag_set_policies};
const MethodSpec dag_add_group = {"_dag_add_group", 2, {"self", "group"}, {nullptr, "Group"},
                                  nullptr, nullptr, false, nullptr, graph::dag_add_group};
const MethodSpec dag_set_groups = {"_dag_set_groups", 3, {"self", "child", "groups"},
                                   {nullptr, "str", "list"}, nullptr, nullptr, false, nullptr,
                                   graph::dag_set_groups};
const MethodSpec dag_generate = {"_dag_generate", 1, {"self"}, {}, nullptr, nullptr, false, nullptr,
                                 graph::dag_generate};
const MethodSpec dfs = {"_dfs", 3, {"self", "start", "discovered"}, {nullptr, "str", "dict"}, "dict",
                        nullptr, false, dfs_doc, graph::dfs};
const MethodSpec check_new_group = {"_check_new_group", 2, {"self", "new_group"}, {nullptr, "Group"},
                                    "bool", nullptr, false, check_new_group_doc, graph::check_new_group};
const MethodSpec add_permissions = {"_add_permissions", 3, {"self", "sub", "permissions"},
                                    {nullptr, "str", "list"}, nullptr, nullptr, false, nullptr,
                                    graph::add_permissions};
const MethodSpec add_groups = {"_add_groups", 3, {"self", "child", "parents"}, {nullptr, "str", "list"},
                               nullptr, nullptr, false, nullptr, graph::add_groups};
const MethodSpec set_sub_permissions = {"_set_sub_permissions", 3, {"self", "sub", "permissions"},
                                        {nullptr, "str", "list"}, nullptr, nullptr, false, nullptr,
                                        graph::set_sub_permissions};
const MethodSpec set_sub_groups = {"_set_sub_groups", 3, {"self", "child", "parents"},
                                   {nullptr, "str", "list"}, nullptr, nullptr, false, nullptr,
                                   graph::set_sub_groups};
const MethodSpec get_role_contents = {"get_role_contents", 3, {"self", "role_name", "_acl"},
                                      {nullptr, "str", nullptr}, nullptr, nullptr, true,
                                      get_role_contents_doc, graph::get_role_contents};
const MethodSpec add_role_permissions = {"add_role_permissions", 4, {"self", "role_name", "permissions", "_acl"},
                                         {nullptr, "str", "list", nullptr}, nullptr, nullptr, true, nullptr,
                                         graph::add_role_permissions};
const MethodSpec set_role_permissions = {"set_role_permissions", 4, {"self", "role_name", "permissions", "_acl"},
                                         {nullptr, "str", "list", nullptr}, nullptr, nullptr, true, nullptr,
                                         graph::set_role_permissions};
const MethodSpec add_role_sub_roles = {"add_role_sub_roles", 4, {"self", "role_name", "sub_role_names", "_acl"},
                                       {nullptr, "str", "list", nullptr}, nullptr, nullptr, true, nullptr,
                                       graph::add_role_sub_roles};
const MethodSpec set_role_sub_roles = {"set_role_sub_roles", 4, {"self", "role_name", "sub_role_names", "_acl"},
                                       {nullptr, "str", "list", nullptr}, nullptr, nullptr, true, nullptr,
                                       graph::set_role_sub_roles};
const MethodSpec get_implicit_permissions_for_roles = {
    "get_implicit_permissions_for_roles", 3, {"self", "role_names", "_acl"}, {nullptr, "list", nullptr},
    nullptr, nullptr, true, implicit_doc, graph::get_implicit_permissions_for_roles};
}  // namespace spec

namespace {

const MethodSpec* const method_table[] = {
    &spec::init, &spec::dag_add_policy, &spec::dag_set_policies, &spec::dag_add_group,
    &spec::dag_set_groups, &spec::dag_generate, &spec::dfs, &spec::check_new_group,
    &spec::add_permissions, &spec::add_groups, &spec::set_sub_permissions, &spec::set_sub_groups,
    &spec::get_role_contents, &spec::add_role_permissions, &spec::set_role_permissions,
    &spec::add_role_sub_roles, &spec::set_role_sub_roles, &spec::get_implicit_permissions_for_roles,
};

Ref str(const char* text) { return Ref::own(PyUnicode_FromString(text)); }

// {"out": RoleContent} or {"out": RoleContent, "in": {"permissions": AclItem}}
Ref action(PyObject* out, PyObject* permissions_in) {
    Ref value = Ref::own(PyDict_New());
    check(PyDict_SetItemString(value.get(), "out", out));
    if (permissions_in) {
        Ref in = Ref::own(PyDict_New());
        check(PyDict_SetItemString(in.get(), "permissions", permissions_in));
        check(PyDict_SetItemString(value.get(), "in", in.get()));
    }
    return value;
}

void role_matrix_body(ClassBody& b) {
    Ref key_fields = Ref::own(PyList_New(1));
    PyList_SET_ITEM(key_fields.get(), 0, str("name").release());
    b.set("_key_fields", key_fields.get());

    Ref actions = Ref::own(PyDict_New());
    const std::pair<const char*, bool> operations[] = {
        {"get_role_contents", false},  {"add_role_permissions", true}, {"set_role_permissions", true},
        {"add_role_sub_roles", false}, {"set_role_sub_roles", false},  {"get_implicit_permissions_for_roles", false},
    };
    for (const auto& [operation, takes_permissions] : operations) {
        Ref out = b.lookup("RoleContent");
        Ref in = takes_permissions ? b.lookup("AclItem") : Ref();
        check(PyDict_SetItemString(actions.get(), operation, action(out.get(), in.get()).get()));
    }
    b.set("_actions", actions.get());

    b.field("name", "str", "StringField", {},
            {{"description", str("Application Name").get()}, {"unique", Py_True}, {"regex", str(app_name_pattern).get()}});
    for (const char* stored : {"policies", "groups"}) {
        Ref record = b.lookup(stored[0] == 'p' ? "Policy" : "Group");
        Ref item = b.make_field("EmbeddedDocumentField", {}, {{"document_type", record.get()}});
        b.field(stored, "list", "ListField", {item.get()}, {});
    }
    auto string_list = [&](const char* name, const char* description) {
        Ref item = b.make_field("StringField", {}, {});
        Ref dflt = Ref::own(PyList_New(0));
        b.field(name, "list", "ListField", {item.get()}, {{"description", str(description).get()}, {"default", dflt.get()}});
    };
    string_list("new_user_fields", "Needed new user's information");
    string_list("new_user_roles", "Default roles for new user");
    b.field("new_user_profile", "dict", "DictField", {}, {{"description", str("New user's profile").get()}});
    string_list("callback_urls", "List of authorized callback Url");

    for (const MethodSpec* method : method_table) {
        Ref fn = make_function(*method, b.globals(), b.qualname(), b.classcell());
        b.set(method->name, fn.get());
    }
}

}  // namespace

const ClassDef role_matrix_def = {"RoleMatrix", "Document", class_doc, true, role_matrix_body};

}  // namespace zarn
