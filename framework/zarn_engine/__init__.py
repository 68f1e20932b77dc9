"""Documents, embedded records, their stores and live documents."""

from zarn_fields import ValidationError

from .errors import (ConflictError, ConnectionLost, DoesNotExist, LoadError, ReadOnlyError,
                     StorageError)
from .document import Document, DocumentMeta, EmbeddedDocument, EmbeddedDocumentField, ListField
from .engine import Engine, get_engine, use_engine
from .urls import connect, open_engine
from .memory import MemoryEngine
from .sqlite import SQLiteEngine
from .acl import Acl, AclItem
from .live import Live


def __getattr__(name: str):
    if name == "PostgreSQLEngine":  # imported on demand: psycopg is an optional dependency
        from .postgresql import PostgreSQLEngine

        return PostgreSQLEngine
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "Acl", "AclItem", "ConflictError", "ConnectionLost", "Document", "DocumentMeta", "DoesNotExist",
    "EmbeddedDocument", "EmbeddedDocumentField", "Engine", "ListField", "Live", "LoadError",
    "MemoryEngine", "PostgreSQLEngine", "ReadOnlyError", "SQLiteEngine", "StorageError",
    "ValidationError", "connect", "get_engine", "open_engine", "use_engine",
]
