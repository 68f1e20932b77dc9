// The RoleMatrix document: docstring, key, actions, stored fields and methods.
#include "graph/methods.hpp"
#include "model/declarations.hpp"
#include "model/patterns.hpp"

namespace zarn {

namespace {

constexpr const char* class_doc =
    "Permission organization of an application. This object only contains the role and role contents\n\n"
    "    Rules:\n"
    "        * Each user could only be assigned to a role\n"
    "    ";

// The methods, room by room, in the order in which the class namespace receives them.
const MethodList* const method_rooms[] = {
    &graph::index_methods,    &graph::search_methods, &graph::mutation_methods,
    &graph::contents_methods, &graph::update_methods, &graph::implicit_methods,
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

    for (const MethodList* room : method_rooms)
        for (const MethodDecl* method : *room) {
            Ref fn = make_function(*method, b.globals(), b.qualname(), b.classcell());
            b.set(method->name, fn.get());
        }
}

}  // namespace

const ClassDef role_matrix_def = {"RoleMatrix", "Document", class_doc, true, role_matrix_body};

}  // namespace zarn
