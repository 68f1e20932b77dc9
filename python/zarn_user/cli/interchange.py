"""Casbin policy CSV and JSON documents: reading them whole, writing them back, and applying
them to a role matrix as the update operations would, line by line."""

from __future__ import annotations

import csv
import io
import json
import re
from dataclasses import dataclass

from .store import BadInput, role_error, value_error

SETTINGS = ("new_user_fields", "new_user_roles", "new_user_profile", "callback_urls")


@dataclass
class Entry:
    """One policy ("p": sub, obj, act) or group ("g": child, parent) to import."""

    where: str  # "FILE:LINE" or "FILE: policies entry N", for messages
    kind: str
    fields: tuple[str, ...]

    def casbin(self) -> str:
        return casbin_line(self.kind, self.fields)


def casbin_line(kind: str, fields) -> str:
    """One Casbin line: fields quoted by the csv module where they need it."""
    out = []
    for value in (kind, *fields):
        buffer = io.StringIO()
        csv.writer(buffer, lineterminator="").writerow([value])
        out.append(buffer.getvalue())
    return ", ".join(out)


def export_casbin(matrix) -> str:
    lines = [casbin_line("p", (p.sub, p.obj, p.act)) for p in matrix.policies]
    lines += [casbin_line("g", (g.child, g.parent)) for g in matrix.groups]
    return "".join(line + "\n" for line in lines)


def export_json(matrix) -> str:
    return json.dumps(matrix.to_display(), indent=2) + "\n"


def read(path: str, fmt: str) -> tuple[list[Entry], dict, list[str]]:
    """The file's entries, its settings (JSON only) and notes; BadInput listing every bad
    line, one per line, when any is bad."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise BadInput(f"cannot read {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise BadInput(f"cannot read {path}: not UTF-8 text") from None
    if fmt == "auto":
        fmt = "json" if text.lstrip().startswith("{") else "casbin"
    entries, settings, notes, errors = (_read_json if fmt == "json" else _read_casbin)(path, text)
    from .user_commands import as_user, user_entry_errors

    for entry in entries:
        if as_user(entry):  # g, USER, ROLE
            errors += user_entry_errors(entry)
            continue
        roles = entry.fields[:1] if entry.kind == "p" else entry.fields
        errors += [f"{entry.where}: {error}" for error in map(role_error, roles) if error]
        if entry.kind == "p":
            errors += [f"{entry.where}: {error}"
                       for error in (value_error("object", entry.fields[1]), value_error("action", entry.fields[2]))
                       if error]
    if errors:
        raise BadInput("\n".join(errors))
    return entries, settings, notes


_NUMBERED = re.compile(r"^([pg])(\d+)$")
_EFFECTS = {"allow", "deny"}


def _read_casbin(path, text):
    from .user_commands import is_users_marker

    entries, notes, errors = [], [], []
    users = False  # after the users marker, g lines give users roles
    reader = csv.reader(io.StringIO(text), skipinitialspace=True)
    try:
        for row in reader:
            where = f"{path}:{reader.line_num}"
            if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
                users = users or is_users_marker(row)
                continue
            kind, fields = row[0].strip(), [c.strip() for c in row[1:]]
            error, note = _casbin_row(kind, fields)
            if error:
                errors.append(f"{where}: {error}")
                continue
            if note:
                notes.append(f"{where}: {note}")
            if any(not f for f in fields):
                errors.append(f"{where}: an empty field")
                continue
            entries.append(Entry(where, "u" if users and kind == "g" else kind,
                                 tuple(fields[:3] if kind == "p" else fields)))
    except csv.Error as exc:
        errors.append(f"{path}:{reader.line_num}: not valid CSV ({exc})")
    return entries, {}, notes, errors


def _casbin_row(kind: str, fields: list[str]) -> tuple[str | None, str | None]:
    """(error, note) for one Casbin row."""
    numbered = _NUMBERED.match(kind)
    if numbered and numbered.group(1) == "g":
        return (f"role type {kind!r} is not supported: resource roles and other role types (g2, g3, ...) "
                "have no counterpart here; only g lines (a role contains a role)"), None
    if numbered:
        return (f"policy type {kind!r} is not supported: other policy types (p2, ...) have no counterpart "
                "here; only p lines (a role may do an action on an object)"), None
    if kind == "p":
        if len(fields) == 3:
            return None, None
        if len(fields) == 4 and fields[3].lower() in _EFFECTS:
            if fields[3].lower() == "deny":
                return ("a 'deny' effect is not supported: every permission here grants, nothing "
                        "takes one away"), None
            return None, "effect column 'allow' dropped: every permission here is an allow"
        if len(fields) in (4, 5):
            return ("domains (tenants) are not supported: a p line with a domain (p, sub, dom, obj, act); "
                    "keep one application per domain"), None
        return f"malformed p line: expected p, ROLE, OBJECT, ACTION (got {len(fields)} fields)", None
    if kind == "g":
        if len(fields) == 2:
            return None, None
        if len(fields) == 3:
            return ("domains (tenants) are not supported: a g line with a third field (g, user, role, dom); "
                    "keep one application per domain"), None
        return f"malformed g line: expected g, ROLE, SUBROLE (got {len(fields)} fields)", None
    return f"unknown line type {kind!r}: expected p or g lines", None


def _read_json(path, text):
    try:
        data = json.loads(text)
    except ValueError as exc:
        return [], {}, [], [f"{path}: not a JSON document ({exc})"]
    if not isinstance(data, dict):
        return [], {}, [], [f"{path}: expected a JSON object with policies and groups"]
    entries, errors = [], []
    for section, kind, keys in (("policies", "p", ("sub", "obj", "act")), ("groups", "g", ("child", "parent"))):
        items = data.get(section) or []
        if not isinstance(items, list):
            errors.append(f"{path}: {section}: expected a list")
            continue
        for number, item in enumerate(items, 1):
            where = f"{path}: {section} entry {number}"
            if not isinstance(item, dict):
                errors.append(f"{where}: expected an object with {', '.join(map(repr, keys))}")
                continue
            missing = [k for k in keys if k not in item]
            wrong = [k for k in keys if k in item and not isinstance(item[k], str)]
            if missing:
                errors.append(f"{where}: missing {', '.join(map(repr, missing))}")
            elif wrong:
                errors.append(f"{where}: {', '.join(map(repr, wrong))} must be a string")
            else:
                entries.append(Entry(where, kind, tuple(item[k] for k in keys)))
    settings = {}
    for key in SETTINGS:
        if key in data and data[key] is not None:
            want = dict if key == "new_user_profile" else list
            if not isinstance(data[key], want):
                errors.append(f"{path}: {key}: expected a {want.__name__}")
            else:
                settings[key] = data[key]
    return entries, settings, [], errors


def apply(matrix, entries: list[Entry], step=lambda: None) -> tuple[list[Entry], list[Entry]]:
    """Add the entries to `matrix` in memory, with the result of calling the update
    operations line by line (add_role_permissions, add_role_sub_roles after making the
    sub-role a node, as a query would), without their cost: a membership test on a set of
    field tuples in place of the list's record equality, which is the same test for records
    of plain strings. Returns (added, refused); nothing is saved."""
    import zarn_user.role_matrix as rm

    policies, groups, dag = matrix.policies, matrix.groups, matrix.dag
    have_p = {(p.sub, p.obj, p.act) for p in policies}
    have_g = {(g.child, g.parent) for g in groups}
    added, refused = [], []
    for entry in entries:
        if entry.kind == "p":
            if entry.fields not in have_p:
                sub, obj, act = entry.fields
                policy = rm.Policy(sub=sub, obj=obj, act=act)
                matrix._dag_add_policy(policy)
                policies.append(policy)
                have_p.add(entry.fields)
                added.append(entry)
        else:
            child, parent = entry.fields
            if parent not in dag:
                dag[parent] = []
            if entry.fields not in have_g:
                group = rm.Group(child=child, parent=parent)
                if matrix._check_new_group(group):
                    matrix._dag_add_group(group)
                    groups.append(group)
                    have_g.add(entry.fields)
                    added.append(entry)
                else:
                    refused.append(entry)
        step()
    return added, refused
