"""Documents, embedded records, their stores and live documents."""

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time

from zarn_fields import ValidationError

from .errors import (ConfigurationError, ConflictError, ConnectionLost, DoesNotExist, InvalidKey, LoadError,
                     ReadOnlyError, SchemaMismatch, SchemaTooNew, SchemaTooOld, StorageError, StoreBusy,
                     StoreCorrupt, StoreFull, StoreLocked, VersionNotReached)
from .document import Document, DocumentMeta, EmbeddedDocument, EmbeddedDocumentField, ListField
from .engine import Engine, Write, get_engine, use_engine
from .schema import SCHEMA
from .urls import connect, migrate, open_engine
from .memory import MemoryEngine
from .acl import Acl, AclItem
from .live import Live
from . import persist  # fills the documents' persistence slot (see document.py)
from .persist import save_all

if TYPE_CHECKING:  # at run time imported on demand, by __getattr__ below
    from .postgresql import PostgreSQLEngine
    from .sqlite import SQLiteEngine


def __getattr__(name: str) -> type[Engine]:
    if name == "PostgreSQLEngine":  # imported on demand: psycopg is an optional dependency
        from .postgresql import PostgreSQLEngine

        return PostgreSQLEngine
    if name == "SQLiteEngine":  # imported on demand: sqlite3 costs start-up time
        from .sqlite import SQLiteEngine

        return SQLiteEngine
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "Acl", "AclItem", "ConfigurationError", "ConflictError", "ConnectionLost", "Document", "DocumentMeta",
    "DoesNotExist", "EmbeddedDocument", "EmbeddedDocumentField", "Engine", "InvalidKey", "ListField", "Live",
    "LoadError", "MemoryEngine", "PostgreSQLEngine", "ReadOnlyError", "SCHEMA", "SQLiteEngine", "SchemaMismatch",
    "SchemaTooNew", "SchemaTooOld", "StorageError", "StoreBusy", "StoreCorrupt", "StoreFull", "StoreLocked",
    "ValidationError", "VersionNotReached", "connect", "get_engine", "migrate", "open_engine", "save_all", "use_engine",
    "Write",
]
