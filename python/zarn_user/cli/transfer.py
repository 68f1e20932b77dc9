"""`zarn-roles import`: a file is read whole and checked before anything is written, and is
imported all or nothing.

Checked in this order, each stopping the import with every line it concerns, in file order:
bad lines and names (exit status 2); Casbin patterns that would be stored as literal text
and roles named like the built-in superuser roles (1, unless --literal or --merge-builtin
accepts them); lines that would close a cycle (1, unless --skip-refused keeps the rest). A
dry run goes through the same steps and ends with the status the real run would have.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from ..core import interchange
from .context import Context
from .errors import BadInput, Refused
from ..core.holders import builtin, builtin_roles, has_builtin, known_roles, refusal
from ..core.store import Store
from ..core.text import check_app as check_new_app

if TYPE_CHECKING:
    from zarn_user.role_matrix import RoleMatrix


def _stored(store: Store, app: str) -> RoleMatrix | None:
    """The application, or None when there is none (nor a database): nothing is created."""
    from zarn_engine import DoesNotExist

    import zarn_user.role_matrix as rm

    if store.path is not None and not store.exists():
        return None
    store.open(create=False)
    try:
        return rm.RoleMatrix.load(app)
    except DoesNotExist:
        return None


def _builtin_lines(matrix: RoleMatrix, entries: list[interchange.Entry]) -> list[str]:
    """Why the entries that name a built-in role are refused, and the ways out. An entry
    the application holds already changes nothing (an export imported back)."""
    names = builtin_roles()
    stored = {("p", (p.sub, p.obj, p.act)) for p in matrix.policies} | {("g", (g.child, g.parent)) for g in matrix.groups}
    lines = []
    for entry in entries:
        if (entry.kind, entry.fields) in stored:
            continue
        named = [r for r in dict.fromkeys(entry.roles()) if r in names]
        if named:
            lines.append(f"{entry.where}: {entry.casbin()}: {', '.join(map(repr, named))} "
                         f"{'is a built-in role' if len(named) == 1 else 'are built-in roles'} of {matrix.name}")
    if not lines:
        return []
    policies, groups = builtin()
    meaning = "; ".join([f"{c} contains {p}" for c, p in sorted(groups)] +
                        [f"{s} holds {o}:{a}" for s, o, a in sorted(policies)])
    lines.append(f"refused: in {matrix.name}, {meaning}: whoever holds these roles would hold everything. "
                 f"Nothing written: import into a new application (import NEW-APP FILE creates it without the "
                 f"built-in roles), rename the roles in the file, or give --merge-builtin to merge on purpose")
    return lines


def import_file(args: argparse.Namespace, ctx: Context) -> None:
    import zarn_user.role_matrix as rm

    from .render import Progress

    reading = interchange.read(args.file, args.format)
    matrix = _stored(ctx.store, args.app)
    new = matrix is None
    if matrix is None:
        check_new_app(args.app)
    existing = set(known_roles(matrix)) if matrix is not None else set()
    errors = reading.errors + interchange.name_errors(reading.entries, existing)
    if errors:
        raise BadInput("\n".join(message for _, message in sorted(errors, key=lambda e: e[0])))
    for note in reading.notes:
        ctx.out.note(f"note: {note}")

    from .users_io import ImportedUsers, split_users

    entries, user_entries = split_users(reading.entries)
    if not args.literal:
        flagged = interchange.patterns(entries)
        if flagged:
            raise Refused("\n".join([message for _, message in flagged] + [
                "refused: Casbin matches these as patterns (keyMatch, glob, regex), here they would be compared "
                "as text and grant nothing Casbin granted. Nothing written: give --literal to store them as "
                "literal text"]))
    if matrix is not None and has_builtin(matrix) and not args.merge_builtin:
        lines = _builtin_lines(matrix, entries)
        if lines:
            raise Refused("\n".join(lines))

    if matrix is None:
        matrix = rm.RoleMatrix(name=args.app, policies=[], groups=[])
    for key, value in reading.settings.items():
        setattr(matrix, key, value)
    progress = Progress(len(entries), "import")
    added, refused = interchange.apply(matrix, entries, progress.step)
    progress.done()
    users = ImportedUsers(args.app, matrix, user_entries, stored=not new)
    already = len(entries) - len(added) - len(refused)
    wildcards = sum(1 for e in added if e.kind == "p" and "*" in e.fields[1:])
    wildcard_note = (f'"*" in {wildcards} added line(s) means everything to check, why and who'
                     if wildcards else None)
    refusals = [f"{e.where}: {refusal(matrix, *e.fields)}" for e in refused]

    if args.dry_run:
        text = users.preview() + [f"would add: {e.casbin()}" for e in added]
        text += [f"would refuse {e.where}: {e.casbin()}: {refusal(matrix, *e.fields)}" for e in refused]
        text.append(f"dry run: {len(added)} to add, {len(refused)} to refuse, {already} already there; "
                    "nothing written")
        if wildcard_note:
            text.append(wildcard_note)
        ctx.out.emit({"add": [e.casbin() for e in added], "refuse": [e.where for e in refused],
                      "already": already, "written": False, **users.to_json()}, "\n".join(text))
        if refused:
            raise Refused(f"refused: {len(refused)} line(s) would close a cycle: a real run writes nothing"
                          + (" but the rest" if args.skip_refused else " (--skip-refused imports the rest)"))
        return

    if refused and not args.skip_refused:
        raise Refused("\n".join(refusals + [
            f"refused: {len(refused)} line(s) would close a cycle. Nothing written: give --skip-refused "
            "to import the rest"]))
    if new or added or reading.settings:
        ctx.store.open(create=True)
        ctx.store.writing = True
        matrix.save()
    if users.new:
        ctx.store.open(create=True)
        ctx.store.writing = True
        users.save()
    text = [f"imported {len(added)} of {len(entries)} entries into {args.app}"
            + (" (created: it holds only what the file holds)" if new else "") + users.summary()]
    if wildcard_note:
        text.append(wildcard_note)
    ctx.out.emit({"imported": len(added), "refused": [e.where for e in refused], "already": already,
                  "created": new, **users.to_json()}, "\n".join(text))
    if refused:
        raise Refused("\n".join(refusals + [f"refused: {len(refused)} line(s) left out (--skip-refused)"]))
