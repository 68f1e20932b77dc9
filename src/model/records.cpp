// The record classes: Policy, Group and RoleContent, declared on the framework's
// EmbeddedDocument.
#include "model/declarations.hpp"
#include "model/patterns.hpp"

namespace zarn {

namespace {

void policy_body(ClassBody& b) {
    for (const char* name : {"sub", "obj", "act"})
        b.field(name, "str", "StringField", {}, {{"required", Py_True}});
}

void group_body(ClassBody& b) {
    Ref pattern = Ref::own(PyUnicode_FromString(name_pattern));
    for (const char* name : {"child", "parent"})
        b.field(name, "str", "StringField", {}, {{"required", Py_True}, {"regex", pattern.get()}});
}

void role_content_body(ClassBody& b) {
    Ref pattern = Ref::own(PyUnicode_FromString(name_pattern));
    Ref sample = Ref::own(PyUnicode_FromString("user_admin"));
    Ref role_name = Ref::own(PyUnicode_FromString("Role Name"));
    b.field("name", "str", "StringField", {},
            {{"sample", sample.get()}, {"description", role_name.get()}, {"regex", pattern.get()}});

    Ref item = b.make_field("StringField", {}, {{"regex", pattern.get()}});
    Ref roles_text = Ref::own(PyUnicode_FromString("Contained Roles"));
    Ref roles_default = Ref::own(PyList_New(0));
    b.field("roles", "list", "ListField", {item.get()},
            {{"description", roles_text.get()}, {"default", roles_default.get()}});

    Ref acl_item = b.lookup("AclItem");
    Ref record = b.make_field("EmbeddedDocumentField", {acl_item.get()}, {});
    Ref perms_text = Ref::own(PyUnicode_FromString("Contained Permissions"));
    Ref perms_default = Ref::own(PyList_New(0));
    b.field("permissions", "list", "ListField", {record.get()},
            {{"description", perms_text.get()}, {"default", perms_default.get()}});
}

}  // namespace

const ClassDef policy_def = {"Policy", "EmbeddedDocument", nullptr, false, policy_body};
const ClassDef group_def = {"Group", "EmbeddedDocument", nullptr, false, group_body};
const ClassDef role_content_def = {"RoleContent", "EmbeddedDocument", nullptr, false, role_content_body};

}  // namespace zarn
