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
                 name: str) -> tuple[list[Any], list[Any], list[Any] | None]:
    """(records the change removes from list `name`, records it appends, the whole new list;
    None when the list does not change)."""
    step = plan.get(name)
    if step is None or step[0] != "list":
        return [], [], None
    old = doc.__dict__[name]
    lo, tail = step[1], step[2]
    new = old[:lo] + list(tail)
    spec = change.get("lists", {}).get(name)
    if spec is not None and name not in change.get("replace", {}):
        # The change names its removed positions and appended records: no walk of the list.
        count = len(spec["append"])
        return [old[position] for position in spec["remove"]], list(tail[len(tail) - count:]), new
    # Rewritten whole: what stays of old[lo:] is a prefix of the tail, in order.
    removed: list[Any] = []
    j = 0
    for record in old[lo:]:
        if j < len(tail) and (tail[j] is record):
            j += 1
        else:
            removed.append(record)
    return removed, list(tail[j:]), new


def apply(doc: Any, change: dict[str, Any]) -> None:
    plan = prepare(doc, change)
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


def rebuild(doc: Any) -> None:
    """The graph made again from the stored lists, as a fresh load makes it."""
    doc.dag = {}
    doc._dag_generate()
