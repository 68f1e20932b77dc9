"""The version of a store's tables, and what software of one version may do with another.

A SQLite or PostgreSQL store keeps one row in its table `zarn_schema`: `version`, the schema
its tables have, and `oldest`, the oldest schema whose software may still write to it.
Connecting reads that row, and nothing else about the tables: a connection never changes
them. A store without any of the tables is new: connecting creates them (where the user may),
at this version and finished. Any other change is the explicit step `migrate`, in two phases,
so that the workers of two releases can run on one store during a rolling upgrade:

1. `migrate` (expand) adds what the new schema needs and leaves `oldest` where it was: the old
   release goes on reading and writing, and the new one writes only what the old one reads;
2. `migrate --finish` (contract), once no worker of the old release is left, raises `oldest`
   to the new version and makes every write of older software fail, saying why.

Software refuses a store whose `oldest` is beyond its own version (SchemaTooNew): a newer
release has finished its migration. During such a release's first phase it goes on, since
that release keeps writing what this one reads. A store older than this software needs
raises SchemaTooOld, which names `zarn-roles migrate`.

Schema 1 is the tables of release 0.2, which have no `zarn_schema`; schema 2 (release 0.3)
adds it, and the guard of the finished phase. How old writers are stopped: software of
schema N marks its connections as writing schema N (SQLite: a function of that name on each
connection; PostgreSQL: the session setting `zarn.schema`), and the finished phase adds
triggers to every table that require the mark, so that a statement of older software fails
whole, with the reason in its message.
"""

from __future__ import annotations

from .errors import SchemaTooNew, SchemaTooOld

SCHEMA = 2  # the schema this software reads and writes
FIRST = 1  # the tables of release 0.2: no row of their version

# The SQLite function that marks a connection of software writing schema `SCHEMA`; the error
# of a connection without it, which a trigger of the finished phase calls, is its name.
SQLITE_MARK = f"store migrated to zarn schema {SCHEMA}: upgrade this software to write"
# The PostgreSQL session setting that marks a connection, and the message of the triggers.
SETTING = "zarn.schema"
REFUSAL = (f"this store was migrated to zarn schema {SCHEMA}: software of an older schema can no longer "
           "write to it; upgrade it")


def check(found: int, oldest: int, where: str) -> None:
    """Raise unless software of schema SCHEMA may read and write a store with this row."""
    if oldest > SCHEMA:
        raise SchemaTooNew(f"{where} has schema version {found}, finished by a newer release; this software "
                           f"supports schema {SCHEMA} only: upgrade it", found, SCHEMA)
    if found < SCHEMA:
        raise too_old(where, found)


def too_old(where: str, found: int = FIRST) -> SchemaTooOld:
    return SchemaTooOld(f"{where} has schema version {found}; this software needs schema {SCHEMA}: run "
                        "`zarn-roles migrate --db URL` as the database's owner (see the README, Upgrading)",
                        found, SCHEMA)


def refuse_migration(where: str, found: int) -> None:
    """Raise when a store at schema `found` is beyond what this software can migrate."""
    if found > SCHEMA:
        raise SchemaTooNew(f"{where} has schema version {found}, newer than this software's {SCHEMA}: migrate "
                           "it with the newer release", found, SCHEMA)


def mark_url(url: str) -> str:
    """A PostgreSQL URL whose connections carry the mark of this schema's software, in the
    `options` parameter (added, or the mark put after the options it has)."""
    location, sep, query = url.partition("?")
    mark = f"-c{SETTING}%3D{SCHEMA}"
    pairs = query.split("&") if sep else []
    for i, pair in enumerate(pairs):
        if pair.split("=", 1)[0] == "options":
            pairs[i] = f"{pair}%20{mark}"
            break
    else:
        pairs.append(f"options={mark}")
    return f"{location}?{'&'.join(pairs)}"
