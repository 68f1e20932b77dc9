"""Changes applied to a held RoleMatrix: its stored lists and its `dag` kept in step.

Everything a change installs is built aside first, then installed by single operations: each
stored list by records appended to it, or by a new list in its place when it lost records
(a list rewritten whole: a new graph as well), the graph's new and changed rows by one
`dict.update`, the query index (query.py) by one call that follows the change.
A query running in another thread reads each of them wholly before or wholly after.

The rows are made by the matrix's own index operations, run on a scratch instance whose
`dag` holds copies of the rows they change (and the very rows of the nodes they only look
up), so that the graph comes out as those operations make it.
"""

from __future__ import annotations

from typing import Any

from zarn_engine.changes import install, prepare

from zarn_user import query

# A matrix builds its graph from its stored lists whenever it is built: a load applies the
# changes after the snapshot to the lists and builds the matrix once.
FIELDS_FIRST = True


def held_size(doc: Any) -> int:
    """The nodes of the matrix's graph. The graph keeps every node it ever had (a role or a
    permission that lost its last record stays a node), so a held matrix that changes for
    good grows past what a fresh load of the same lists builds; its holder compares the two
    and loads it afresh."""
    return len(doc.__dict__["dag"])


def _scratch(doc: Any, rows: dict[Any, list[Any]]) -> Any:
    cls: Any = type(doc)
    scratch = cls.__new__(cls)
    scratch.__dict__["dag"] = rows
    return scratch


def _old_and_new(doc: Any, change: dict[str, Any], plan: dict[str, tuple[Any, ...]],
                 name: str) -> tuple[list[Any], list[Any], list[Any] | None]:
    """(records the change removes from list `name`, records it appends, the whole new list
    when it is a new list; None when the list only grows). Read from the change and the plan,
    without a walk of the list."""
    step = plan.get(name)
    if step is None:
        return [], [], None
    if step[0] == "list":  # appended only: the list grows in place
        return [], list(step[2]), None
    old, new = doc.__dict__[name], step[1]
    spec = change["lists"][name]
    count = len(spec["append"])
    return [old[position] for position in spec["remove"]], new[len(new) - count:], new


def _rebuilt(doc: Any, plan: dict[str, tuple[Any, ...]]) -> dict[Any, list[Any]]:
    """The graph made afresh from the lists as the plan leaves them (a list rewritten whole)."""
    scratch = _scratch(doc, {})
    attrs = doc.__dict__
    for name in ("policies", "groups"):
        step = plan.get(name)
        if step is None:
            scratch.__dict__[name] = attrs[name]
        elif step[0] == "set":
            scratch.__dict__[name] = step[1]
        else:
            scratch.__dict__[name] = attrs[name][:step[1]] + list(step[2])
    scratch._dag_generate()
    dag: dict[Any, list[Any]] = scratch.__dict__["dag"]
    return dag


def apply(doc: Any, change: dict[str, Any]) -> None:
    plan = prepare(doc, change)
    if change.get("replace"):
        dag = _rebuilt(doc, plan)
        install(doc, plan)
        doc.__dict__["dag"] = dag
        query.forget(doc)  # made anew from the new lists when next asked
        return
    attrs = doc.__dict__
    before = (attrs["policies"], len(attrs["policies"]), attrs["groups"], len(attrs["groups"]))
    dag = doc.dag
    rows: dict[Any, list[Any]] = {}
    owned: set[Any] = set()

    def own(node: Any) -> None:  # a row the operations change: a copy, installed afterwards
        if node not in owned:
            owned.add(node)
            if node in dag:
                rows[node] = list(dag[node])

    lost_policies, new_policies, policies = _old_and_new(doc, change, plan, "policies")
    lost_groups, new_groups, groups = _old_and_new(doc, change, plan, "groups")
    lost_subs = {policy.sub for policy in lost_policies}
    lost_children = {group.child for group in lost_groups}
    for sub in lost_subs:
        own(sub)
        rows.setdefault(sub, [])
    for child in lost_children:
        own(child)
        rows.setdefault(child, [])
    for policy in new_policies:
        own(policy.sub)
    for group in new_groups:
        own(group.child)
    # The operations run on a scratch instance whose dag holds the rows they change. A node
    # they only look up and miss there is made anew in the scratch dag; it is installed only
    # when the matrix lacks it, so the matrix's own rows of such nodes stay.
    scratch = _scratch(doc, rows)
    for sub in lost_subs:  # the role's rows as the module makes them from the new list
        scratch._dag_set_policies(sub, policies)
    for policy in new_policies:
        if policy.sub not in lost_subs:
            scratch._dag_add_policy(policy)
    for child in lost_children:
        scratch._dag_set_groups(child, groups)
    for group in new_groups:
        if group.child not in lost_children:
            scratch._dag_add_group(group)
    installed = {node: row for node, row in rows.items() if node in owned or node not in dag}
    install(doc, plan)
    dag.update(installed)
    # The query index follows the change in one step: a reader sees it before or after.
    query.follow(doc, before, lost_policies, new_policies, lost_groups, new_groups)
