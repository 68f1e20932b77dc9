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
#include "graph/graph.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// dag[key] = [x for x in dag[key] if isinstance(x, kind)]
void keep_successors(PyObject* dag, PyObject* key, PyTypeObject* kind) {
    Ref successors = getitem(dag, key);
    Ref kept = new_list();
    for_each(successors.get(), [&](PyObject* x) {
        if (check(PyObject_IsInstance(x, reinterpret_cast<PyObject*>(kind))))
            check(PyList_Append(kept.get(), x));
    });
    setitem(dag, key, kept.get());
}

Ref add_policy_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* policy = args[1];
    Ref sub = field(policy, names.sub);
    Ref obj = field(policy, names.obj);
    Ref act = field(policy, names.act);
    Ref pair = make_pair(obj.get(), act.get());
    Ref dag = field(self, names.dag);
    add_edge(dag.get(), sub.get(), pair.get());
    return none();
}

Ref add_group_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* group = args[1];
    Ref child = field(group, names.child);
    Ref parent = field(group, names.parent);
    Ref dag = field(self, names.dag);
    add_edge(dag.get(), child.get(), parent.get());
    return none();
}

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

Ref set_groups_body(Function*, PyObject* const* args) {
    return replace_body<&EdgeRun::add_group>(args[0], args[1], args[2], names.child, &PyTuple_Type);
}

Ref generate_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    EdgeRun run(self);
    run.add_all(run.stored(names.groups).get(), &EdgeRun::add_group);
    run.add_all(run.stored(names.policies).get(), &EdgeRun::add_policy);
    Ref dag = field(self, names.dag);
    if (!contains(dag.get(), names.public_))
        setitem(dag.get(), names.public_, new_list().get());
    return none();
}

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
    call_method(self, names._dag_generate, spec::dag_generate, nullptr, 0);
    return none();
}

}  // namespace

PyObject* init(Function* fn, PyObject* const* args) noexcept { return entry<init_body>(fn, args); }
PyObject* dag_add_policy(Function* fn, PyObject* const* args) noexcept { return entry<add_policy_body>(fn, args); }
PyObject* dag_set_policies(Function* fn, PyObject* const* args) noexcept { return entry<set_policies_body>(fn, args); }
PyObject* dag_add_group(Function* fn, PyObject* const* args) noexcept { return entry<add_group_body>(fn, args); }
PyObject* dag_set_groups(Function* fn, PyObject* const* args) noexcept { return entry<set_groups_body>(fn, args); }
PyObject* dag_generate(Function* fn, PyObject* const* args) noexcept { return entry<generate_body>(fn, args); }

}  // namespace zarn::graph
