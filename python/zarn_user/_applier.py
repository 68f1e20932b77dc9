"""Changes applied to a held RoleMatrix: its stored lists and its `dag` kept in step.

Everything a change installs is built aside first, then installed by single operations: each
stored list by one slice assignment, the graph's new and changed rows by one `dict.update`.
A query running in another thread reads each of them wholly before or wholly after.

The rows are made by the matrix's own index operations, run on a scratch instance whose
`dag` holds copies of the rows they change (and the very rows of the nodes they only look
up), so that the graph comes out as those operations make it.
"""

from __future__ import annotations

from typing import Any

from zarn_engine.changes import install, prepare


def _scratch(doc: Any, rows: dict[Any, list[Any]]) -> Any:
    cls: Any = type(doc)
    scratch = cls.__new__(cls)
    scratch.__dict__["dag"] = rows
    return scratch


def _old_and_new(doc: Any, plan: dict[str, tuple[Any, ...]], name: str) -> tuple[list[Any], list[Any], list[Any]]:
    """(records the change removes from list `name`, records it appends, the new list's tail
    from the first change on)."""
    step = plan.get(name)
    if step is None or step[0] != "list":
        return [], [], []
    old = doc.__dict__[name]
    lo, tail = step[1], step[2]
    kept = old[lo:]
    # What stays of old[lo:] is a prefix of the tail, in order: the rest of old[lo:] went.
    removed: list[Any] = []
    j = 0
    for record in kept:
        if j < len(tail) and (tail[j] is record):
            j += 1
        else:
            removed.append(record)
    return removed, tail[j:], tail


def apply(doc: Any, change: dict[str, Any]) -> None:
    plan = prepare(doc, change)
    dag = doc.dag
    rows: dict[Any, list[Any]] = {}

    def own(node: Any) -> None:  # a row the operations change: a copy
        if node not in rows and node in dag:
            rows[node] = list(dag[node])

    def seen(node: Any) -> None:  # a node they only look up: the row itself
        if node not in rows and node in dag:
            rows[node] = dag[node]

    lost_policies, new_policies, _ = _old_and_new(doc, plan, "policies")
    lost_groups, new_groups, _ = _old_and_new(doc, plan, "groups")
    lost_subs = {policy.sub for policy in lost_policies}
    lost_children = {group.child for group in lost_groups}
    if lost_subs:
        # The remaining and new policies of the roles that lost some, in the new list's order.
        policies = [p for p in _new_list(doc, plan, "policies") if p.sub in lost_subs]
        for sub in lost_subs:
            own(sub)
            rows.setdefault(sub, [])
        for policy in policies:
            seen((policy.obj, policy.act))
    if lost_children:
        groups = [g for g in _new_list(doc, plan, "groups") if g.child in lost_children]
        for child in lost_children:
            own(child)
            rows.setdefault(child, [])
        for group in groups:
            seen(group.parent)
    for policy in new_policies:
        own(policy.sub)
        seen((policy.obj, policy.act))
    for group in new_groups:
        own(group.child)
        seen(group.parent)
    scratch = _scratch(doc, rows)
    for sub in lost_subs:
        scratch._dag_set_policies(sub, [p for p in policies if p.sub == sub])
    for policy in new_policies:
        if policy.sub not in lost_subs:
            scratch._dag_add_policy(policy)
    for child in lost_children:
        scratch._dag_set_groups(child, [g for g in groups if g.child == child])
    for group in new_groups:
        if group.child not in lost_children:
            scratch._dag_add_group(group)
    install(doc, plan)
    dag.update(rows)


def _new_list(doc: Any, plan: dict[str, tuple[Any, ...]], name: str) -> list[Any]:
    old: list[Any] = doc.__dict__[name]
    step = plan[name]
    return old[:step[1]] + list(step[2])


def rebuild(doc: Any) -> None:
    """The graph made again from the stored lists, as a fresh load makes it."""
    doc.dag = {}
    doc._dag_generate()
