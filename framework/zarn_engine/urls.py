"""Stores by URL: the factory behind `open_engine` and `connect`.

- `postgresql://user@host:port/database?options` (or `postgres://`): libpq's own URL, its
  query parameters included;
- `sqlite:///path` (four slashes for an absolute path), with the query parameters
  `mode=ro|rw|rwc` (read only; open an existing file; open or create it, the default),
  `immutable=1` (a file that nobody changes, see sqlite.py) and `busy_timeout=SECONDS` (how
  long a read or write waits for a lock another connection holds, 10 by default; `timeout`
  is the older name);
- `memory:`;
- anything else without a scheme: the path of a SQLite file, taken as it is.
"""

from __future__ import annotations

import os
import re
import urllib.parse
TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time

from . import engine as _engines
from .engine import Engine
from .errors import ConfigurationError, safe_url
from .memory import MemoryEngine

BUSY_TIMEOUT = 10.0  # SQLite's default wait for a lock, in seconds (sqlite.py has the same)

if TYPE_CHECKING:
    from .sqlite import SQLiteEngine

_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://")
_SQLITE_PARAMETERS = ("mode", "immutable", "busy_timeout", "timeout")


def open_engine(url: str | os.PathLike[str], *, check_schema: bool = True) -> Engine:
    """The store a URL names (see the module's notes); ConfigurationError for a URL that
    names none. `check_schema=False` opens a store whatever its schema: for `migrate` only."""
    text = os.fspath(url)
    if text.startswith(("postgresql://", "postgres://")):
        from .postgresql import PostgreSQLEngine

        return PostgreSQLEngine(text, check_schema=check_schema)
    if text == "memory:":
        return MemoryEngine()
    from .sqlite import SQLiteEngine  # sqlite3 is loaded when a SQLite store is opened

    if text.startswith("sqlite:"):
        return _sqlite(text, check_schema)
    scheme = _SCHEME.match(text)
    if scheme:
        raise ConfigurationError(f"unknown store URL scheme {scheme.group(1)!r} in {safe_url(text)}: a store is "
                                 "postgresql://..., sqlite:///path, memory: or the path of a SQLite file")
    return SQLiteEngine(text, check_schema=check_schema)


def migrate(url: str | os.PathLike[str], finish: bool = False) -> tuple[int, int]:
    """Bring the store at `url` to this software's schema, creating it when it has no tables;
    `finish`: the second phase, once no older software uses it (schema.py). Returns the
    schema's (version, oldest) afterwards."""
    engine = open_engine(url, check_schema=False)
    try:
        return engine.migrate(finish)
    finally:
        engine.close()


def _sqlite(text: str, check_schema: bool = True) -> SQLiteEngine:
    from .sqlite import SQLiteEngine

    # As elsewhere: sqlite:///relative/path, sqlite:////absolute/path
    if not text.startswith("sqlite:///") or len(text) == len("sqlite:///"):
        raise ConfigurationError(f"a SQLite URL is sqlite:///path, not {text!r}")
    path, _, query = text[len("sqlite:///"):].partition("?")
    try:
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, strict_parsing=bool(query))
    except ValueError:
        raise ConfigurationError(f"cannot read the parameters of SQLite URL {text!r}") from None
    options: dict[str, str] = {}
    for name, value in pairs:
        if name not in _SQLITE_PARAMETERS:
            raise ConfigurationError(f"unknown parameter {name!r} in SQLite URL {text!r}: "
                                     f"the parameters are {', '.join(_SQLITE_PARAMETERS)}")
        if name in options:
            raise ConfigurationError(f"parameter {name!r} given twice in SQLite URL {text!r}")
        options[name] = value
    mode = options.get("mode", "rwc")
    if mode not in ("ro", "rw", "rwc"):
        raise ConfigurationError(f"mode={mode} in SQLite URL {text!r}: the modes are ro, rw, rwc")
    immutable = options.get("immutable", "0")
    if immutable not in ("0", "1"):
        raise ConfigurationError(f"immutable={immutable} in SQLite URL {text!r}: it is 0 or 1")
    if "timeout" in options and "busy_timeout" in options:
        raise ConfigurationError(f"busy_timeout and timeout (its older name) both given in SQLite URL {text!r}")
    name = "timeout" if "timeout" in options else "busy_timeout"
    try:
        timeout = float(options.get(name, str(BUSY_TIMEOUT)))
        if not 0 <= timeout < 1e6:
            raise ValueError
    except ValueError:
        raise ConfigurationError(f"{name}={options[name]} in SQLite URL {text!r}: "
                                 "a number of seconds") from None
    return SQLiteEngine(path, timeout, mode=mode, immutable=immutable == "1", check_schema=check_schema)


def connect(url: str | os.PathLike[str]) -> Engine:
    """Open the store that `url` names and make it the default engine."""
    engine = open_engine(url)
    _engines.use_engine(engine)
    return engine


_engines._opener = open_engine
