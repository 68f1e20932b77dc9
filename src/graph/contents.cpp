// What a role holds directly, read from the stored lists.
#include "graph/methods.hpp"
#include "graph/protocol.hpp"
#include "graph/walk.hpp"

namespace zarn::graph {

namespace {

Ref get_role_contents_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* role_name = args[1];

    Ref kept = select(field(self, names.policies).get(), names.sub, role_name);
    Ref permissions = new_list();
    FieldReader obj_of(names.obj), act_of(names.act);
    for_each(kept.get(), [&](PyObject* p) {
        Ref obj = obj_of(p);
        Ref act = act_of(p);
        check(PyList_Append(permissions.get(), permission_entry(obj.get(), act.get()).get()));
    });
    Ref roles = select_field(field(self, names.groups).get(), names.child, role_name, names.parent);
    PyObject* values[] = {role_name, roles.get(), permissions.get()};
    return role_content(fn, values, names.kw_name_roles_permissions);
}

constexpr const char* get_role_contents_doc =
    "Get Role Contents\n\n"
    "        Args:\n"
    "            role_name: Name of role\n"
    "            _acl: Access Control List\n\n"
    "        Returns:\n"
    "            Role Content object\n"
    "        ";

constexpr MethodDecl get_role_contents{.name = "get_role_contents",
                                       .params = {"self", "role_name", "_acl"},
                                       .annotations = {nullptr, "str"},
                                       .none_default = true,
                                       .doc = get_role_contents_doc,
                                       .impl = entry<get_role_contents_body>};

constexpr const MethodDecl* methods[] = {&get_role_contents};

}  // namespace

const MethodList contents_methods = methods;

}  // namespace zarn::graph
