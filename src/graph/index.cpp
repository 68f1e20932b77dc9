// The graph index `dag`: the initialiser that builds it and the operations that keep it
// in step with the stored lists.
//
// `dag` maps every node to its successor list. Role nodes are str, permission nodes are
// (obj, act) tuples. Invariants kept here:
//   1. no successor list holds two equal elements (every append is preceded by `in`);
//   2. every successor is itself a key (a missing target is added with a new empty list);
//   3. keys are never deleted;
//   4. key order is insertion order; replacing a successor list keeps the key in place;
//   5. after initialisation "public" is a key.
// Nothing here catches an exception: what was changed before a failure stays changed.
#include "graph/edges.hpp"
#include "graph/methods.hpp"
#include "graph/protocol.hpp"
#include "graph/walk.hpp"
#include "graph/search.hpp"

namespace zarn::graph {

namespace {

// dag[key] = [x for x in dag[key] if isinstance(x, kind)]
void keep_successors(PyObject* dag, PyObject* key, PyTypeObject* kind) {
    Ref successors = getitem(dag, key);
    Ref kept = successor_list();
    for_each(successors.get(), [&](PyObject* x) {
        if (check(PyObject_IsInstance(x, reinterpret_cast<PyObject*>(kind)))) {
            track_for(kept.get(), x);
            check(PyList_Append(kept.get(), x));
        }
    });
    set_successors(dag, key, kept.get());
}

// The record's edge, then `self.dag`, then the edge added.
template <Edge (EdgeReader::*read)(PyObject*, bool*)>
Ref add_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    EdgeReader reader;
    Edge edge = (reader.*read)(args[1], nullptr);
    Ref dag = field(self, names.dag);
    add_edge(dag.get(), edge.from.get(), edge.to.get());
    return none();
}

constexpr MethodDecl dag_add_policy{.name = "_dag_add_policy",
                                    .params = {"self", "policy"},
                                    .annotations = {nullptr, "Policy"},
                                    .impl = entry<add_body<&EdgeReader::policy>>};

constexpr MethodDecl dag_add_group{.name = "_dag_add_group",
                                   .params = {"self", "group"},
                                   .annotations = {nullptr, "Group"},
                                   .impl = entry<add_body<&EdgeReader::group>>};

// Shared by the two replace operations: keep the successors of `key` of type `kind`, then
// add each selected record through the instance's add operation.
template <void (EdgeRun::*add)(PyObject*)>
Ref replace_body(PyObject* self, PyObject* key, PyObject* records, PyObject* key_field, PyTypeObject* kind) {
    Ref selected = select(records, key_field, key);
    Ref dag = field(self, names.dag);
    keep_successors(dag.get(), key, kind);
    EdgeRun run(self);
    run.add_all(selected.get(), add);
    return none();
}

Ref set_policies_body(Function*, PyObject* const* args) {
    return replace_body<&EdgeRun::add_policy>(args[0], args[1], args[2], names.sub, &PyUnicode_Type);
}

constexpr MethodDecl dag_set_policies{.name = "_dag_set_policies",
                                      .params = {"self", "sub", "policies"},
                                      .annotations = {nullptr, nullptr, "list"},
                                      .impl = entry<set_policies_body>};

Ref set_groups_body(Function*, PyObject* const* args) {
    return replace_body<&EdgeRun::add_group>(args[0], args[1], args[2], names.child, &PyTuple_Type);
}

constexpr MethodDecl dag_set_groups{.name = "_dag_set_groups",
                                    .params = {"self", "child", "groups"},
                                    .annotations = {nullptr, "str", "list"},
                                    .impl = entry<set_groups_body>};

Ref generate_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    EdgeRun run(self);
    run.add_all(run.stored(names.groups).get(), &EdgeRun::add_group);
    run.add_all(run.stored(names.policies).get(), &EdgeRun::add_policy);
    Ref dag = field(self, names.dag);
    if (!contains(dag.get(), names.public_))
        set_successors(dag.get(), names.public_, successor_list().get());
    return none();
}

constexpr MethodDecl dag_generate{.name = "_dag_generate", .params = {"self"}, .impl = entry<generate_body>};

Ref init_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* kwargs = args[1];  // this call's own dict
    if (!check(PyDict_Contains(kwargs, names.policies))) {
        Ref policy = make_policy(fn, names.root, names.star, names.star);
        Ref policies = list_of(policy.get());
        check(PyDict_SetItem(kwargs, names.policies, policies.get()));
    }
    if (!check(PyDict_Contains(kwargs, names.groups))) {
        Ref group = make_group(fn, names.admin, names.root);
        Ref groups = list_of(group.get());
        check(PyDict_SetItem(kwargs, names.groups, groups.get()));
    }
    // super().__init__(**kwargs): the class is the one this function was defined in.
    PyObject* cls = fn->classcell ? PyCell_GET(fn->classcell) : nullptr;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        fail();
    }
    PyObject* super_args[] = {cls, self};
    Ref super = Ref::own(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    Ref base_init = getattr(super.get(), names.__init__);
    Ref ignored = Ref::own(PyObject_Call(base_init.get(), names.empty_tuple, kwargs));

    Ref dag = Ref::own(PyDict_New());
    setattr(self, names.dag, dag.get());
    call_method(self, interned<"_dag_generate">(), nullptr, 0);
    return none();
}

constexpr MethodDecl init{.name = "__init__", .params = {"self"}, .varkw = "kwargs", .impl = entry<init_body>};

constexpr const MethodDecl* methods[] = {&init, &dag_add_policy, &dag_set_policies,
                                         &dag_add_group, &dag_set_groups, &dag_generate};

}  // namespace

const MethodList index_methods = methods;

}  // namespace zarn::graph
