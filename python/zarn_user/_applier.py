"""Changes applied to a held RoleMatrix: its stored lists and its `dag` kept in step.

Everything a change installs is built aside first, then installed by single operations: each
stored list by one slice assignment, the graph's new and changed rows by one `dict.update`.
A query running in another thread reads each of them wholly before or wholly after.

The rows are made by the matrix's own index operations, run on a scratch instance whose
`dag` holds copies of the rows they change (and the very rows of the nodes they only look
up), so that the graph comes out as those operations make it.
"""

from __future__ import annotations

from collections import Counter
from itertools import compress
from operator import attrgetter
from typing import Any

from zarn_engine.changes import install, prepare


def _scratch(doc: Any, rows: dict[Any, list[Any]]) -> Any:
    cls: Any = type(doc)
    scratch = cls.__new__(cls)
    scratch.__dict__["dag"] = rows
    return scratch


def _old_and_new(doc: Any, change: dict[str, Any], plan: dict[str, tuple[Any, ...]],
                 name: str) -> tuple[list[Any], list[Any]]:
    """(records the change removes from list `name`, records it appends): from the change's
    positions, at the change's cost."""
    step = plan.get(name)
    if step is None or step[0] != "list":
        return [], []
    old: list[Any] = doc.__dict__[name]
    if name in change.get("replace", {}):
        return old[:], list(step[2])
    spec = change["lists"][name]
    appended = list(step[2][len(step[2]) - len(spec["append"]):]) if spec["append"] else []
    return [old[position] for position in spec["remove"]], appended


def _counts(doc: Any) -> tuple[Counter[str], Counter[str]]:
    """How many policies each role has, and how many groups: counted once per held
    instance, then kept by the changes."""
    counts: tuple[Counter[str], Counter[str]] | None = doc.__dict__.get("_zarn_counts")
    if counts is None:
        counts = (Counter(map(attrgetter("sub"), doc.policies)), Counter(map(attrgetter("child"), doc.groups)))
        doc.__dict__["_zarn_counts"] = counts
    return counts


def _remaining(doc: Any, change: dict[str, Any], name: str, attr: str, lost: list[Any],
               new: list[Any], counts: Counter[str]) -> tuple[set[str], list[Any]]:
    """The roles that lost records of list `name`, and their records in the new list, in its
    order. A role that lost all of its former records has only the appended ones: found
    without reading the list."""
    roles = {getattr(record, attr) for record in lost}
    if not roles:
        return roles, []
    gone = Counter(getattr(record, attr) for record in lost)
    appended = [record for record in new if getattr(record, attr) in roles]
    if all(counts[role] == gone[role] for role in roles):
        return roles, appended
    # Else the records of those roles that stay, read at C speed, then the appended ones.
    old: list[Any] = doc.__dict__[name]
    spec = change.get("lists", {}).get(name)
    removed = set(spec["remove"]) if spec is not None else set(range(len(old)))  # replaced: all
    staying = [old[i] for i in compress(range(len(old)), map(roles.__contains__, map(attrgetter(attr), old)))
               if i not in removed]
    return roles, staying + appended


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

    counts = _counts(doc)
    if "policies" in change.get("replace", {}) or "groups" in change.get("replace", {}):
        counts = (Counter(), Counter())  # counted again below
    lost_policies, new_policies = _old_and_new(doc, change, plan, "policies")
    lost_groups, new_groups = _old_and_new(doc, change, plan, "groups")
    lost_subs, policies = _remaining(doc, change, "policies", "sub", lost_policies, new_policies, counts[0])
    lost_children, groups = _remaining(doc, change, "groups", "child", lost_groups, new_groups, counts[1])
    if lost_subs:
        for sub in lost_subs:
            own(sub)
            rows.setdefault(sub, [])
        for policy in policies:
            seen((policy.obj, policy.act))
    if lost_children:
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
    if "replace" in change:
        doc.__dict__.pop("_zarn_counts", None)
    else:
        for count, lost, new, attr in ((counts[0], lost_policies, new_policies, "sub"),
                                       (counts[1], lost_groups, new_groups, "child")):
            count.subtract(getattr(record, attr) for record in lost)
            count.update(getattr(record, attr) for record in new)


def rebuild(doc: Any) -> None:
    """The graph made again from the stored lists, as a fresh load makes it."""
    doc.dag = {}
    doc._dag_generate()
