"""Documents, embedded records and their storage."""

from zarn_fields import ValidationError

from .document import (ConflictError, Document, DocumentMeta, DoesNotExist, EmbeddedDocument,
                        EmbeddedDocumentField, ListField, LoadError)
from .storage import Engine, MemoryEngine, SQLiteEngine, connect, get_engine, use_engine
from .acl import Acl, AclItem

__all__ = [
    "Acl", "AclItem", "ConflictError", "Document", "DocumentMeta", "DoesNotExist",
    "EmbeddedDocument", "EmbeddedDocumentField", "Engine", "ListField", "LoadError",
    "MemoryEngine", "SQLiteEngine", "ValidationError", "connect", "get_engine", "use_engine",
]
