"""Casbin policy CSV and JSON documents: reading them whole, writing them back, and applying
them to a role matrix as the update operations would, line by line.

`apply` calls the module's index operations (`_dag_add_policy`, `_check_new_group`,
`_dag_add_group`) instead of the public `add_role_permissions` and `add_role_sub_roles`:
each public call tests membership in the stored list by record equality, computes the role's
contents for its answer and saves the document, which makes an import of n lines cost n²
and n saves (hours for a 200,000-line Casbin file). The result is the same, line for line;
tests/test_interchange.py holds both side by side.
"""

from __future__ import annotations

import csv
import io
import ipaddress
import json
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator

from .errors import BadInput
from .text import nfc, role_error, user_error, value_error

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix

SETTINGS = ("new_user_fields", "new_user_roles", "new_user_profile", "callback_urls")


@dataclass
class Entry:
    """One policy ("p": sub, obj, act), group ("g": child, parent) or user's role ("u": user,
    role, a Casbin g line whose subject is a user) to import."""

    where: str  # "FILE:LINE" or "FILE: policies entry N", for messages
    kind: str
    fields: tuple[str, ...]
    order: int = 0  # position in the file, for messages in file order

    def casbin(self) -> str:
        return casbin_line("g" if self.kind == "u" else self.kind, self.fields)

    def roles(self) -> tuple[str, ...]:
        if self.kind == "u":
            return self.fields[1:]
        return self.fields[:1] if self.kind == "p" else self.fields


@dataclass
class Reading:
    """What a file holds, and what is wrong with it; every list in file order."""

    entries: list[Entry] = field(default_factory=list)
    settings: dict[str, Any] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)  # changes made on reading (a dropped 'allow')
    errors: list[tuple[int, str]] = field(default_factory=list)  # (order, message): bad input


def casbin_line(kind: str, fields: Iterable[str]) -> str:
    """One Casbin line: fields quoted by the csv module where they need it."""
    out = []
    for value in (kind, *fields):
        buffer = io.StringIO()
        csv.writer(buffer, lineterminator="").writerow([value])
        out.append(buffer.getvalue())
    return ", ".join(out)


def _pairs(users: Any) -> list[tuple[str, str]]:
    """(user, role) of each assignment of a UserRoles document (None: no users)."""
    return [] if users is None else [(a.user, a.role) for a in users.assignments]


def export_casbin(matrix: RoleMatrix, users: Any = None) -> str:
    """Policy CSV: p lines, g lines between roles, then under USERS_MARKER the g lines that
    give users their roles."""
    lines = [casbin_line("p", (p.sub, p.obj, p.act)) for p in matrix.policies]
    lines += [casbin_line("g", (g.child, g.parent)) for g in matrix.groups]
    assigned = _pairs(users)
    if assigned:
        lines += [USERS_MARKER] + [casbin_line("g", pair) for pair in assigned]
    return "".join(line + "\n" for line in lines)


def export_json(matrix: RoleMatrix, users: Any = None) -> str:
    """The stored document as JSON, with the users' roles under "users"."""
    data = matrix.to_display()
    data["users"] = [{"user": u, "role": r} for u, r in _pairs(users)]
    return json.dumps(data, indent=2) + "\n"


def read_text(path: str) -> str:
    """A file's text; BadInput when it cannot be read or is not UTF-8."""
    try:
        with open(path, encoding="utf-8-sig") as f:  # a byte order mark is no part of the text
            return f.read()
    except OSError as exc:
        raise BadInput(f"cannot read {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise BadInput(f"cannot read {path}: not UTF-8 text") from None


def read(path: str, fmt: str) -> Reading:
    """The file's entries, settings (JSON only), notes and errors. The names of new roles
    are checked by `name_errors`, which knows the target application."""
    return parse(read_text(path), path, fmt)


def parse(text: str, path: str, fmt: str) -> Reading:
    """As `read`, for text already read; `path` names it in messages."""
    text = text.removeprefix("\ufeff")  # a byte order mark is no part of the text, whatever the door
    if fmt == "auto":
        fmt = "json" if text.lstrip().startswith("{") else "casbin"
    reading = (_read_json if fmt == "json" else _read_casbin)(path, text)
    for entry in reading.entries:  # text in NFC form, as every door stores it
        entry.fields = tuple(nfc(f) for f in entry.fields)
    for entry in reading.entries:
        if entry.kind == "p":
            reading.errors += [(entry.order, f"{entry.where}: {error}")
                               for error in (value_error("object", entry.fields[1]),
                                             value_error("action", entry.fields[2])) if error]
    return reading


def name_errors(entries: list[Entry], existing: set[str]) -> list[tuple[int, str]]:
    """(order, message) for every role name that the import would create and that breaks the
    role-name rule, and every user id that breaks the text rule; roles the application holds
    already are taken as they are. Group records check both their names themselves, so a g
    line always needs valid names."""
    errors = []
    for entry in entries:
        if entry.kind == "u":
            error = user_error(entry.fields[0])
            if error:
                errors.append((entry.order, f"{entry.where}: {error}"))
        for role in entry.roles():
            if entry.kind == "g" or role not in existing:
                error = role_error(role)
                if error:
                    errors.append((entry.order, f"{entry.where}: {error}"))
    return errors


# --- Casbin CSV ---------------------------------------------------------------------------

_NUMBERED = re.compile(r"^([pg])(\d+)$")
_EFFECTS = {"allow", "deny"}
_TIME = re.compile(r"^\d{4}-\d{2}-\d{2}([ T]\d{2}:\d{2}(:\d{2})?)?")
_EXPRESSION = re.compile(r"\br\.\w|&&|\|\||[<>]|[=!]=|\bin\b\s*\(")
_NO_DOMAINS = "--split-domains imports one application per domain (APP-DOMAIN)"


# Written before the g lines that give users roles, so that users whose ids are also valid
# role names ("alice") come back as users; other tools read it as a comment.
USERS_MARKER = "# users: g lines below give users their roles"


def _user_subject(subject: str, after_marker: bool) -> bool:
    """Whether a g line gives a user a role: it follows the users marker, or its subject is
    no valid role name but a valid user id."""
    return after_marker or (role_error(subject) is not None and user_error(subject) is None)


@dataclass
class Row:
    """One line of a Casbin file that holds something."""

    line: int
    where: str  # "FILE:LINE"
    kind: str
    fields: list[str]
    users: bool  # after the users marker: its g lines give users roles


def casbin_rows(path: str, text: str, notes: list[str], errors: list[tuple[int, str]]) -> Iterator[Row]:
    """The lines of a Casbin file that hold something, in order: blank lines and comments
    skipped (the users marker noted), spaces and tabs around each field dropped, and a
    trailing comma's empty field with a note. Text that is no CSV ends the reading with an
    error."""
    users = False
    reader = csv.reader(io.StringIO(text), skipinitialspace=True)
    try:
        for row in reader:
            line = reader.line_num
            where = f"{path}:{line}"
            if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
                users = users or ",".join(row).strip() == USERS_MARKER
                continue
            # Spaces around a field are no part of it, as in Casbin; other white space (a quoted
            # newline) is, and meets the text rule.
            kind, fields = row[0].strip(), [c.strip(" \t") for c in row[1:]]
            if fields and not fields[-1]:
                while fields and not fields[-1]:
                    fields.pop()
                notes.append(f"{where}: a trailing comma: the empty last field is left out")
            yield Row(line, where, kind, fields, users)
    except csv.Error as exc:
        errors.append((reader.line_num, f"{path}:{reader.line_num}: not valid CSV ({exc})"))


def _read_casbin(path: str, text: str) -> Reading:
    reading = Reading()
    for row in casbin_rows(path, text, reading.notes, reading.errors):
        error, note, fields = _casbin_row(row.kind, row.fields)
        if error:
            reading.errors.append((row.line, f"{row.where}: {error}"))
            continue
        if note:
            reading.notes.append(f"{row.where}: {note}")
        if any(not f for f in fields):
            reading.errors.append((row.line, f"{row.where}: an empty field"))
            continue
        kind = "u" if row.kind == "g" and _user_subject(fields[0], row.users) else row.kind
        reading.entries.append(Entry(row.where, kind, tuple(fields), row.line))
    return reading


def _is_priority(value: str) -> bool:
    return value.lstrip("-").isdigit()


_ADDRESS = re.compile(r"^[0-9A-Fa-f:.]*[.:][0-9A-Fa-f:.]*(/\d+)?$")  # worth asking ipaddress


def _subject_error(sub: str) -> str | None:
    if _ADDRESS.match(sub):
        try:
            ipaddress.ip_network(sub, strict=False)
            return (f"an IP address or range as subject ({sub}) is not supported: Casbin's ipMatch has no "
                    "counterpart here; subjects are roles")
        except ValueError:
            pass
    if _EXPRESSION.search(sub):
        return (f"an ABAC expression as subject ({sub!r}) is not supported: rules on attributes have no "
                "counterpart here; subjects are roles")
    return None


def _casbin_row(kind: str, fields: list[str]) -> tuple[str | None, str | None, list[str]]:
    """(error, note, the fields to keep) for one Casbin row."""
    numbered = _NUMBERED.match(kind)
    if numbered and numbered.group(1) == "g":
        return (f"role type {kind!r} is not supported: resource roles and other role types (g2, g3, ...) "
                "have no counterpart here; only g lines (a role contains a role)"), None, fields
    if numbered:
        return (f"policy type {kind!r} is not supported: other policy types (p2, ...) have no counterpart "
                "here; only p lines (a role may do an action on an object)"), None, fields
    if kind == "p":
        return _policy_row(fields)
    if kind == "g":
        if len(fields) == 2:
            return None, None, fields
        if len(fields) >= 4 and _TIME.match(fields[-2]) and _TIME.match(fields[-1]):
            domain = (f" in domain {fields[2]!r}; domains (tenants) are not supported either, {_NO_DOMAINS}"
                      if len(fields) == 5 else "")
            return (f"a time-bounded role link (from {fields[-2]} to {fields[-1]}){domain}: links here hold "
                    "until they are removed"), None, fields
        if len(fields) == 3:
            return ("domains (tenants) are not supported: a g line with a third field (g, user, role, "
                    f"domain); {_NO_DOMAINS}"), None, fields
        return f"malformed g line: expected g, ROLE, SUBROLE (got {len(fields)} fields)", None, fields
    return f"unknown line type {kind!r}: expected p or g lines", None, fields


def _policy_row(fields: list[str]) -> tuple[str | None, str | None, list[str]]:
    last = fields[-1].lower() if len(fields) > 3 else ""
    effect = last if last in _EFFECTS or last == "indeterminate" else None
    core = fields[:-1] if effect else fields
    # A priority comes with an effect (p, priority, sub, obj, act, eft); without one, a first
    # field of digits may as well be a user id before a domain.
    priority = effect is not None and len(core) == 4 and _is_priority(core[0])
    if priority:
        core = core[1:]
    if effect == "indeterminate":
        return ("an 'indeterminate' effect is not supported: every permission here grants"
                + (f" (and a priority column, {fields[0]}, has no counterpart either)" if priority else "")), \
            None, fields
    if len(core) == 4:
        return ("domains (tenants) are not supported: a p line with a domain (p, sub, domain, obj, act); "
                f"{_NO_DOMAINS}"), None, fields
    if len(core) != 3:
        return (f"malformed p line: expected p, ROLE, OBJECT, ACTION (got {len(fields)} fields)"), None, fields
    subject = _subject_error(core[0])
    if subject:
        return subject, None, fields
    if effect == "deny":
        named = "a priority column and a 'deny' effect are" if priority else "a 'deny' effect is"
        return f"{named} not supported: every permission here grants, nothing takes one away", None, fields
    if effect:
        dropped = f"priority {fields[0]} and effect {fields[-1]!r}" if priority else f"effect column {fields[-1]!r}"
        return None, f"{dropped} dropped: every permission here is an allow", core
    return None, None, core


# Objects and actions that Casbin's matchers evaluate where this store compares text: each
# found by what it is, named in the refusal. A lone "*" is no pattern: here it means
# everything, as the root policy's *:* does.
_CASBIN_FEATURES: list[tuple[re.Pattern[str], str]] = [
    (re.compile(r"\br\.\w|&&|\|\||\s[<>]=?\s|[=!]=|\bin\s*\("), "an ABAC condition"),
    (re.compile(r"\\[dDwWsSbB.]|\.[*+?]|[\[\]()|^$]|\{\d*,\d*\}"), "a regular expression (regexMatch)"),
    (re.compile(r"\{\w+\}"), "a keyMatch3/keyMatch4 parameter"),
    (re.compile(r"(^|/):\w"), "a keyMatch2 parameter"),
    (re.compile(r"\*"), "a keyMatch or glob wildcard"),
    (re.compile(r"\?"), "a glob wildcard"),
]


def pattern_error(what: str, value: str) -> str | None:
    """What Casbin would evaluate in `value` (an object or an action), or None."""
    if value == "*":
        return None
    for pattern, name in _CASBIN_FEATURES:
        if pattern.search(value):
            return f"{what} {value!r} is {name} in Casbin; here it would be compared as literal text"
    return None


def patterns(entries: list[Entry]) -> list[tuple[int, str]]:
    """(order, message) for every object or action that Casbin evaluates (a pattern or a
    condition)."""
    found = []
    for entry in entries:
        if entry.kind != "p":
            continue
        for what, value in (("object", entry.fields[1]), ("action", entry.fields[2])):
            error = pattern_error(what, value)
            if error:
                found.append((entry.order, f"{entry.where}: {error}"))
    return found


PATTERN_ADVICE = ("refused: Casbin evaluates these (patterns, conditions); stored here they would be compared as "
                  "text and grant nothing Casbin granted. Nothing written: give --literal (literal in the APIs) "
                  "to store them as literal text")


# --- JSON ---------------------------------------------------------------------------------


def _read_json(path: str, text: str) -> Reading:
    reading = Reading()
    try:
        data = json.loads(text)
    except (ValueError, RecursionError) as exc:
        reading.errors.append((0, f"{path}: not a JSON document ({exc})"))
        return reading
    if not isinstance(data, dict):
        reading.errors.append((0, f"{path}: expected a JSON object with policies and groups"))
        return reading
    order = 0
    for section, kind, keys in (("policies", "p", ("sub", "obj", "act")), ("groups", "g", ("child", "parent")),
                                ("users", "u", ("user", "role"))):
        items = data.get(section) or []
        if not isinstance(items, list):
            reading.errors.append((order, f"{path}: {section}: expected a list"))
            continue
        for number, item in enumerate(items, 1):
            order += 1
            where = f"{path}: {section} entry {number}"
            if not isinstance(item, dict):
                reading.errors.append((order, f"{where}: expected an object with {', '.join(map(repr, keys))}"))
                continue
            missing = [k for k in keys if k not in item]
            wrong = [k for k in keys if k in item and not isinstance(item[k], str)]
            if missing:
                reading.errors.append((order, f"{where}: missing {', '.join(map(repr, missing))}"))
            elif wrong:
                reading.errors.append((order, f"{where}: {', '.join(map(repr, wrong))} must be a string"))
            else:
                reading.entries.append(Entry(where, kind, tuple(item[k] for k in keys), order))
    for key in SETTINGS:
        if key in data and data[key] is not None:
            want = dict if key == "new_user_profile" else list
            if not isinstance(data[key], want):
                reading.errors.append((order + 1, f"{path}: {key}: expected a {want.__name__}"))
            else:
                reading.settings[key] = data[key]
    return reading


# --- applying -----------------------------------------------------------------------------


def apply(matrix: RoleMatrix, entries: list[Entry],
          step: Callable[[], None] = lambda: None) -> tuple[list[Entry], list[Entry]]:
    """Add the entries to `matrix` in memory, with the result of calling the update
    operations line by line (add_role_permissions, add_role_sub_roles after making the
    sub-role a node, as a query would), without their cost: a membership test on a set of
    field tuples in place of the list's record equality, which is the same test for records
    of plain strings. Returns (added, refused); nothing is saved."""
    import zarn_user.role_matrix as rm

    policies, groups, dag = matrix.policies, matrix.groups, matrix.dag
    have_p: set[tuple[str, ...]] = {(p.sub, p.obj, p.act) for p in policies}
    have_g: set[tuple[str, ...]] = {(g.child, g.parent) for g in groups}
    # The roles some link enters. A link from a role that none enters cannot close a cycle:
    # nothing reaches that role but itself. The cycle check (a search through everything the
    # sub-role reaches) is left for the others; `dag` is this matrix's own, changed only here.
    entered: set[str] = {node for successors in dag.values() for node in successors if isinstance(node, str)}
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
                if (child not in entered and child != parent) or matrix._check_new_group(group):
                    matrix._dag_add_group(group)
                    entered.add(parent)
                    groups.append(group)
                    have_g.add(entry.fields)
                    added.append(entry)
                else:
                    refused.append(entry)
        step()
    return added, refused
