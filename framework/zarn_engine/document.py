"""Embedded records, documents and the two fields that hold records.

A record keeps its field values in slots of its own (`__slots__` made from the declared
fields): no per-record dict, so that the hundreds of thousands of records of a large
document stay small. A document keeps them in its `__dict__`, under the fields' names.
Either way reading a field is an ordinary attribute read, and a list field yields the
document's own list. The field declarations are read through the class's `_fields`.

Documents sit above their stored format (codec.py) and below the change log and the stores,
which import them: they save, load and find the default store through the slot that
persist.py fills (see register_persistence).
"""

from __future__ import annotations

import contextlib
import contextvars
import json

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable, ClassVar, Iterator, Mapping, Protocol, Self, TypeVar

    from .engine import Engine

    _D = TypeVar("_D", bound="Document")

    class Persistence(Protocol):
        """What documents call on the floor above them (persist.py)."""

        def save(self, doc: Document, engine: Engine, key: str, expected: int | None) -> int: ...

        def load(self, cls: type[_D], key: str, engine: Engine) -> _D | None: ...

        def default_engine(self) -> Engine: ...

from zarn_fields import Field, StringField, ValidationError

from . import codec
from .errors import ConflictError, DoesNotExist, InvalidKey, LoadError

__all__ = ["ConflictError", "Document", "DocumentMeta", "DoesNotExist", "EmbeddedDocument",
           "EmbeddedDocumentField", "ListField", "LoadError", "record_writes"]

# Set while records are built from plain data (display data, stored documents): the values
# are then taken as they are; validation happens before anything is written. Outside it,
# keyword construction refuses any value its field refuses.
_from_data: contextvars.ContextVar[bool] = contextvars.ContextVar("zarn_from_data", default=False)

_writes = 0  # field writes and deletions on records after they were built (see record_writes)


# Saving, loading and the default store are the business of the floor above: persist.py,
# which imports the stores and the change log (both import this module), fills this slot
# when it is imported, and zarn_engine/__init__.py imports it, so that the slot is filled
# before any document is saved or loaded.
_persistence: Persistence | None = None


def register_persistence(persistence: Persistence) -> None:
    """Let documents save, load and find the default store through `persistence`."""
    global _persistence
    _persistence = persistence


def _persisted() -> Persistence:
    if _persistence is None:
        raise RuntimeError("no persistence registered: import zarn_engine")
    return _persistence


def record_writes() -> int:
    """A process-wide count that grows whenever a field of any record is set or deleted
    after the record was built (building and loading records do not count). Whoever keeps
    a copy of a document's records can tell by it whether one may have changed in place."""
    return _writes


class EmbeddedDocumentField(Field):
    """A record of one embedded document class, given positionally or as `document_type`."""

    allowed = Field.allowed + ("document_type",)

    def __init__(self, *args: type[EmbeddedDocument], **options: Any) -> None:
        if len(args) > 1:
            raise TypeError(f"EmbeddedDocumentField() takes 1 positional argument but {len(args)} were given")
        if args and "document_type" in options:
            raise TypeError("EmbeddedDocumentField() got multiple values for argument 'document_type'")
        document_type = args[0] if args else options.get("document_type")
        if not (isinstance(document_type, type) and issubclass(document_type, EmbeddedDocument)):
            raise TypeError(f"EmbeddedDocumentField() needs an EmbeddedDocument class, not {document_type!r}")
        super().__init__(**options)
        self.document_type: type[EmbeddedDocument] = document_type

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        if not isinstance(value, self.document_type):
            raise ValidationError(document, path, value,
                                  f"expected {self.document_type.__name__}, got {type(value).__name__}")
        if deep:
            value.validate(_document=document, _path=path, _patterns=patterns)

    def to_display(self, value: Any) -> Any:
        return None if value is None else value.to_display()

    def from_display(self, value: Any) -> Any:
        if value is None or isinstance(value, self.document_type):
            return value
        if not isinstance(value, dict):
            raise TypeError(f"expected a dict for {self.document_type.__name__}, got {type(value).__name__}")
        return self.document_type._from_display_dict(value)


class ListField(Field):
    """A list of values of one item field; its default is copied afresh for each document."""

    def __init__(self, item_field: Field, **options: Any) -> None:
        if not isinstance(item_field, Field):
            raise TypeError(f"ListField() needs a field declaration, not {item_field!r}")
        super().__init__(**options)
        self.item_field = item_field

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        if not isinstance(value, list):
            raise ValidationError(document, path, value, f"expected list, got {type(value).__name__}")
        item_field = self.item_field
        if type(item_field) is EmbeddedDocumentField and not deep:
            kind = item_field.document_type  # records only by class: one pass, no calls
            for index, item in enumerate(value):
                if not isinstance(item, kind):
                    item_field.check(item, document, f"{path}[{index}]", deep, patterns)
            return
        if deep and _all_valid(item_field, value, patterns):
            return
        check = item_field.check
        for index, item in enumerate(value):
            check(item, document, f"{path}[{index}]", deep, patterns)

    def to_display(self, value: Any) -> Any:
        if value is None:
            return None
        convert = self.item_field.to_display
        return [convert(item) for item in value]

    def from_display(self, value: Any) -> Any:
        if value is None:
            return None
        if not isinstance(value, (list, tuple)):
            raise TypeError(f"expected a list, got {type(value).__name__}")
        item_field = self.item_field
        convert = item_field.from_display
        if isinstance(item_field, EmbeddedDocumentField) and item_field.document_type._fast_display:
            # Complete records of plain fields: built in place, as _from_display_dict does.
            cls = item_field.document_type
            names, count, new, setters = cls._field_names, cls._field_count, cls.__new__, cls._setters
            out = []
            for item in value:
                if type(item) is dict and len(item) == count and names.issuperset(item):
                    record = new(cls)
                    for name, field_value in item.items():
                        setters[name](record, field_value)
                    out.append(record)
                else:
                    out.append(convert(item))
            return out
        return [convert(item) for item in value]


def _all_valid(item_field: Field, items: list[Any], patterns: bool) -> bool:
    """True when every item is certainly one that `item_field` accepts (else the caller checks
    them one by one, for the error). Strings, and records whose fields are all strings, are
    checked a field at a time over the whole list: a type test per value, and each distinct
    value against its pattern once."""
    columns: list[tuple[StringField, list[Any]]]
    if type(item_field) is StringField:
        columns = [(item_field, items)]
    elif type(item_field) is EmbeddedDocumentField:
        kind = item_field.document_type
        if not kind._string_record or (items and set(map(type, items)) != {kind}):
            return False
        try:
            # A string record's fields are all StringFields (see DocumentMeta).
            columns = [(field, list(map(kind._getters[name], items)))  # type: ignore[misc]
                       for name, field in kind._fields.items()]
        except AttributeError:  # a record without one of its fields: checked one by one
            return False
    else:
        return False
    return codec.columns_valid(columns, patterns)


class DocumentMeta(type):
    """Collects the declared fields in namespace order, inherited ones first, into `_fields`.

    A record class (not a document) gets a slot for each field it declares, in place of the
    declaration: its records have no `__dict__` unless the class asks for one
    (`__slots__ = ("__dict__",)`) or a base has one. A record class that declares no field
    keeps the ordinary layout, so that a subclass adding attributes of its own works as
    ever. A document keeps its fields in its `__dict__`.
    """

    def __new__(mcls, name: str, bases: tuple[type, ...], namespace: dict[str, Any],
                **kwargs: Any) -> DocumentMeta:
        own = {key: value for key, value in namespace.items() if isinstance(value, Field)}
        slotted = {key for base in bases for key in getattr(base, "_getters", ())}  # fields with a slot
        compact = not (_DOCUMENT_BASE is not None and any(issubclass(base, _DOCUMENT_BASE) for base in bases))
        compact = compact and _RECORD_BASE is not None
        slots: list[str] = []
        if compact and own:
            namespace = {key: value for key, value in namespace.items() if key not in own}
            declared = namespace.get("__slots__", ())
            slots = [key for key in own if key not in slotted]  # new fields only
            namespace["__slots__"] = ((declared,) if isinstance(declared, str) else tuple(declared)) + tuple(slots)
        # The classes this metaclass makes are record classes.
        cls: type[EmbeddedDocument] = super().__new__(mcls, name, bases, namespace, **kwargs)  # type: ignore[assignment]
        for key, field in own.items():
            field.__set_name__(cls, key)
        fields: dict[str, Field] = {}
        getters: dict[str, Any] = {}
        for base in reversed(cls.__mro__[1:]):
            fields.update(getattr(base, "_own_fields", {}))
            getters.update(vars(base).get("_own_getters", {}))
        cls._own_fields = own
        fields.update(own)
        cls._fields = fields
        # The slot of each field, as made by the class that first declared it: records are
        # read and written through it, whatever a subclass puts in front of it.
        cls._own_getters = {key: vars(cls)[key].__get__ for key in slots}
        getters.update(cls._own_getters)
        cls._getters = getters
        cls._setters = {key: getter.__self__.__set__ for key, getter in getters.items()}
        cls._readers = tuple(getters[key] for key in fields) if len(getters) == len(fields) else ()
        cls._field_names = frozenset(fields)
        cls._field_count = len(fields)
        # Fields whose display form is the value itself need no conversion.
        cls._plain_fields = frozenset(name for name, field in fields.items()
                                      if type(field).from_display is Field.from_display)
        # Records of plain fields whose construction and conversion are the base class's own
        # are built from display data directly (see _from_display_dict).
        base = _RECORD_BASE or cls
        cls._fast_display = (len(cls._plain_fields) == len(fields) and cls.__init__ is base.__init__
                             and cls.__new__ is object.__new__ and len(getters) == len(fields)
                             # Class methods compared by their functions (mypy: a plain callable).
                             and cls.from_display.__func__ is base.from_display.__func__)  # type: ignore[attr-defined]
        # Records of string fields alone, validated as the base class does: checked in bulk
        # in lists (see _all_valid).
        cls._string_record = (all(type(field) is StringField for field in fields.values())
                              and cls.validate is base.validate)
        return cls


_RECORD_BASE: type[EmbeddedDocument] | None = None
_DOCUMENT_BASE: type[Document] | None = None


class EmbeddedDocument(metaclass=DocumentMeta):
    """A record: built by keywords, compared by class and field values, never stored alone."""

    __slots__ = ()

    # Set on every record class by DocumentMeta.
    _own_fields: ClassVar[dict[str, Field]]
    _fields: ClassVar[dict[str, Field]]
    # Of each field held in a slot: the slot's own read and write.
    _own_getters: ClassVar[dict[str, Any]]
    _getters: ClassVar[dict[str, Any]]
    _setters: ClassVar[dict[str, Any]]
    _readers: ClassVar[tuple[Any, ...]]  # the reads of all fields in field order (a record class)
    _field_names: ClassVar[frozenset[str]]
    _field_count: ClassVar[int]
    _plain_fields: ClassVar[frozenset[str]]
    _fast_display: ClassVar[bool]
    _string_record: ClassVar[bool]

    __hash__ = None  # type: ignore[assignment]  # records are mutable: unhashable

    def __init__(self, **values: Any) -> None:
        cls = type(self)
        if not cls._field_names.issuperset(values):
            unknown = next(key for key in values if key not in cls._field_names)
            raise TypeError(f"{cls.__name__}() got an unexpected keyword argument '{unknown}'")
        cls._check(values)
        cls._store(self, values)

    @classmethod
    def _check(cls, values: dict[str, Any]) -> None:
        """Refuse, before the record exists, any value that a save would refuse: so that a
        record can never carry into a document what would stop every later save of it.
        Nested records are checked by class (they were checked when they were built); values
        built from plain data skip the patterns (see _from_data)."""
        from_data = _from_data.get()
        name = cls.__name__
        for field_name, field in cls._fields.items():
            if from_data and field_name not in cls._plain_fields:
                continue  # made by the field's own conversion from plain data: of its type
            value = values.get(field_name)
            if value is None and field_name not in values:
                value = field.default
            field.check(value, name, field_name, False, not from_data)

    @classmethod
    def _store(cls, record: EmbeddedDocument, values: dict[str, Any]) -> None:
        """The given field values into the record's slots, defaults for the rest."""
        setters = cls._setters
        for name, value in values.items():
            setters[name](record, value)
        if len(values) != cls._field_count:
            for name, field in cls._fields.items():
                if name not in values:
                    setters[name](record, field.get_default())

    def _values(self) -> list[Any]:
        """The stored field values in field order, None for a field that holds none."""
        try:
            return [read(self) for read in self._readers]
        except AttributeError:  # a slot left empty (deleted, or never set)
            return [_get_or_none(read, self) for read in self._readers]

    def __setattr__(self, name: str, value: Any) -> None:
        global _writes
        object.__setattr__(self, name, value)
        if name in self._field_names:
            _writes += 1

    def __delattr__(self, name: str) -> None:
        global _writes
        object.__delattr__(self, name)
        if name in self._field_names:
            _writes += 1

    def __setstate__(self, state: Any) -> None:
        """Unpickling and copying build a record: its fields are set as construction sets
        them (not counted as writes)."""
        attrs, slots = state if isinstance(state, tuple) else (state, None)
        if attrs:
            self.__dict__.update(attrs)
        setters = self._setters
        for name, value in (slots or {}).items():
            setter = setters.get(name)
            if setter is None:
                object.__setattr__(self, name, value)
            else:
                setter(self, value)

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if type(other) is not type(self):
            return NotImplemented
        # Equal records are those whose field values are equal, in field order (a field that
        # holds none compares as None).
        return self._values() == other._values()

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value!r}" for name, value in zip(self._fields, self._values()))
        return f"{type(self).__name__}({values})"

    @classmethod
    def from_display(cls, **values: Any) -> Self:
        """Build a record from plain data: nested records as dicts, lists of them as lists."""
        plain = cls._plain_fields
        for name, value in values.items():
            if name in plain:
                continue
            field = cls._fields.get(name)
            if field is None:
                raise TypeError(f"{cls.__name__}.from_display() got an unexpected keyword argument '{name}'")
            values[name] = field.from_display(value)
        token = _from_data.set(True)
        try:
            return cls(**values)
        finally:
            _from_data.reset(token)

    @classmethod
    def _from_display_dict(cls, data: dict[str, Any]) -> Self:
        """from_display(**data), without the calls where nothing would differ: a record of
        plain fields whose construction and conversion are this class's own."""
        if cls._fast_display and cls._field_names.issuperset(data):
            record = cls.__new__(cls)
            cls._store(record, data)
            return record
        return cls.from_display(**data)

    def to_display(self) -> dict[str, Any]:
        """The record as plain data."""
        return {name: field.to_display(value) for (name, field), value in zip(self._fields.items(), self._values())}

    def validate(self, _document: str | None = None, _path: str | None = None, _patterns: bool = True) -> None:
        """Raise ValidationError naming the class, the field and the value that is refused."""
        document = _document or type(self).__name__
        for (name, field), value in zip(self._fields.items(), self._values()):
            field.check(value, document, f"{_path}.{name}" if _path else name, True, _patterns)


def _get_or_none(getter: Any, record: EmbeddedDocument) -> Any:
    try:
        return getter(record)
    except AttributeError:
        return None


_RECORD_BASE = EmbeddedDocument


class _Batch:
    """The saves held back by `Document.batch()`."""

    __slots__ = ("pending", "engine", "version")

    def __init__(self) -> None:
        self.pending = False
        self.engine: Engine | None = None
        self.version: int | None = None


class Document(EmbeddedDocument):
    """A stored document, identified by the values of its `_key_fields`."""

    _key_fields: ClassVar[list[str]] = []

    # A document is one object: its fields live in its `__dict__`, and setting them is
    # an ordinary attribute write.
    __setattr__ = object.__setattr__  # type: ignore[assignment, unused-ignore]
    __delattr__ = object.__delattr__  # type: ignore[assignment, unused-ignore]

    @classmethod
    def _check(cls, values: dict[str, Any]) -> None:
        """A document takes its values as given; `save` validates the whole of it. (Its
        records were checked when they were built.)"""

    @classmethod
    def _store(cls, record: EmbeddedDocument, values: dict[str, Any]) -> None:
        """The given field values into the document's `__dict__`, defaults for the rest."""
        attrs = record.__dict__
        attrs.update(values)
        if len(values) != cls._field_count:
            for name, field in cls._fields.items():
                if name not in values:
                    attrs[name] = field.get_default()

    def _values(self) -> list[Any]:
        attrs = self.__dict__
        return [attrs.get(name) for name in self._fields]

    __hash__ = None

    @classmethod
    def _collection(cls) -> str:
        return cls.__name__

    @classmethod
    def _key_of(cls, values: Mapping[str, Any]) -> str:
        parts = [values[name] for name in cls._key_fields]
        return parts[0] if len(parts) == 1 and isinstance(parts[0], str) else json.dumps(parts)

    @property
    def key(self) -> str | None:
        attrs = self.__dict__
        if not self._key_fields or any(attrs.get(name) is None for name in self._key_fields):
            return None
        return self._key_of(attrs)

    @property
    def version(self) -> int | None:
        """The stored version this instance was loaded as or last saved as (None: never)."""
        stored = self.__dict__.get("_stored")
        return stored[1] if stored is not None and stored[0] == self.key else None

    @property
    def engine(self) -> Engine | None:
        """The store this instance was loaded from or first saved to (None: not yet stored)."""
        return self.__dict__.get("_engine")

    def save(self, engine: Engine | None = None) -> int | None:
        """Validate the whole document and write it in one transaction; the new version.

        The document goes to `engine`, else to the store it was loaded from or first saved
        to, else to the default store. Raises ConflictError, writing nothing, when the stored
        copy changed since this instance loaded or last saved it (or, for a new instance,
        when one exists already). Inside `batch()` the save is held back until the batch
        ends (and None is returned).
        """
        attrs = self.__dict__
        batch = attrs.get("_batch")
        if batch is not None:
            batch.pending = True
            if engine is not None:
                batch.engine = engine
            return None
        engine, key, expected = self._save_target(engine)
        version = _persisted().save(self, engine, key, expected)
        attrs["_stored"] = (key, version)
        attrs["_engine"] = engine
        return version

    def _save_target(self, engine: Engine | None) -> tuple[Engine, str, int | None]:
        """(store, key, the version a save there replaces): a key made for an instance without
        one, checked before any store is opened; the store `engine`, else the instance's own,
        else the default; the version read names what is replaced only in the store it was
        read from."""
        attrs = self.__dict__
        for name in self._key_fields:
            if attrs.get(name) is None:
                import uuid  # on first use: it loads `platform`, start-up time

                attrs[name] = f"doc-{uuid.uuid4().hex[:12]}"
        key = self.key
        if key is None:  # a class without key fields
            raise InvalidKey(f"{type(self).__name__} has no key fields (_key_fields): no store can hold it; "
                             "nothing was written")
        own = attrs.get("_engine")
        engine = engine or own or _persisted().default_engine()
        stored = attrs.get("_stored")
        expected = stored[1] if stored is not None and stored[0] == key and engine is own else None
        return engine, key, expected

    @contextlib.contextmanager
    def batch(self) -> Iterator[_Batch]:
        """Hold back every save inside the block and make them one save at its end, or
        none when the block raises; a batch inside a batch is part of the outer one.

            with doc.batch():
                doc.add_role_permissions(...)   # saves nothing yet
                doc.add_role_sub_roles(...)
            # one save here, with the version check of the first

        The committed version is the batch's `version` afterwards (None: nothing saved).
        """
        attrs = self.__dict__
        outer = attrs.get("_batch")
        if outer is not None:
            yield outer
            return
        batch = attrs["_batch"] = _Batch()
        try:
            yield batch
        finally:
            del attrs["_batch"]
        if batch.pending:
            batch.version = self.save(batch.engine)

    @classmethod
    def load(cls, key: str, engine: Engine | None = None) -> Self:
        """The stored document with this key, built by calling the class with its fields."""
        engine = engine or _persisted().default_engine()
        doc = _persisted().load(cls, key, engine)
        if doc is None:
            raise DoesNotExist(f"{cls.__name__} {key!r} does not exist")
        return doc

    @classmethod
    def load_or_create(cls, key: str, engine: Engine | None = None, **fields: Any) -> Self:
        """The stored document with this key; when there is none, a new one made from `fields`
        (with the key field set to `key`) and saved. Safe when several processes race."""
        engine = engine or _persisted().default_engine()
        if len(cls._key_fields) != 1:
            raise TypeError(f"{cls.__name__}.load_or_create() needs a class with one key field")
        for _ in range(10):
            try:
                return cls.load(key, engine=engine)
            except DoesNotExist:
                pass
            doc = cls(**{**fields, cls._key_fields[0]: key})
            try:
                doc.save(engine=engine)
                return doc
            except ConflictError:
                continue  # created meanwhile by someone else: load theirs
        raise ConflictError(f"{cls.__name__} {key!r} keeps changing; try again")

    def _to_stored(self, values: list[Any] | None = None) -> str:
        """The document as the text a store keeps (see _from_stored); of `values` (its field
        values in field order, as `_values` gives them) when given."""
        fields: dict[str, Any] = {}
        lists: dict[str, dict[str, list[Any]]] = {}
        for (name, field), value in zip(self._fields.items(), self._values() if values is None else values):
            columns = _columns_of(field, value)
            if columns is None:
                fields[name] = field.to_display(value)
            else:
                lists[name] = columns
        kinds = {name: self._fields[name].item_field.document_type for name in lists}  # type: ignore[attr-defined]
        return codec.write(fields, lists, {name: kind._fields for name, kind in kinds.items()})

    @classmethod
    def _from_stored(cls, key: str, text: str, edit: Callable[[Self, bool], None] | None = None) -> Self:
        """The instance that a stored text describes, refused with LoadError unless a save
        would take it back as it is: every field valid, the key fields those of its key.
        `edit(instance, built)`, when given, may change the instance's fields: before it is
        built, on a bare instance (not initialised) that holds the stored fields, where the
        text holds every field; else (`built` true) on the instance as built, whose
        construction may have filled in the missing fields in its own way.

        The text is the display data of the document, or its lists of records stored by
        columns (codec.py). Records loaded from columns share their equal strings, and each
        distinct value is checked against its field once."""
        return cls._read_stored(key, text, edit)

    @classmethod
    def _read_stored(cls, key: str, text: str, edit: Callable[[Self, bool], None] | None) -> Self:
        where = f"{cls.__name__} {key!r}"
        try:
            data = json.loads(text)
        except ValueError as exc:
            raise LoadError(f"{where}: stored data is not JSON ({exc})") from None
        except RecursionError:
            raise LoadError(f"{where}: stored data is nested too deeply") from None
        if not isinstance(data, dict):
            raise LoadError(f"{where}: stored data is not an object")
        values: dict[str, Any] = {}
        checked: set[str] = set()  # lists of records checked as their columns were read
        if codec.FORMAT in data:
            data = codec.read_columns(where, cls.__name__, data, values, checked, cls._records_of)
        for name, value in data.items():
            field = cls._fields.get(name)
            if field is None:
                raise LoadError(f"{where}: unknown field {name!r}")
            try:
                values[name] = field.from_display(value)
            except (TypeError, ValueError) as exc:
                raise LoadError(f"{where}, field {name!r}: {exc}") from None
            except RecursionError:
                raise LoadError(f"{where}, field {name!r}: nested too deeply") from None
        document = cls.__name__
        try:
            for name, field in cls._fields.items():
                if name not in checked:
                    field.check(values[name] if name in values else field.get_default(), document, name)
        except ValidationError as exc:
            raise LoadError(codec.refused(where, exc)) from None
        except RecursionError:
            raise LoadError(f"{where}: stored data is nested too deeply") from None
        if cls._key_fields:
            stored = {name: values.get(name) for name in cls._key_fields}
            if None in stored.values() or cls._key_of(stored) != key:
                shown = ", ".join(f"{name} {value!r}" for name, value in stored.items())
                raise LoadError(f"{where}: its stored {shown} does not match its key")
        if edit is not None and len(values) == cls._field_count:
            bare = cls.__new__(cls)
            cls._store(bare, values)
            edit(bare, False)
            values, edit = bare.__dict__, None
        token = _from_data.set(True)  # stored values load as they are, names included
        try:
            doc = cls(**values)
        except (TypeError, AttributeError, ValueError) as exc:
            raise LoadError(f"{where}: {type(exc).__name__}: {exc}") from None
        finally:
            _from_data.reset(token)
        if type(doc).validate is not EmbeddedDocument.validate:  # checks of the class's own
            try:
                doc.validate()
            except ValidationError as exc:
                raise LoadError(codec.refused(where, exc)) from None
        if edit is not None:
            edit(doc, True)
        return doc

    @classmethod
    def _records_of(cls, name: str) -> tuple[type[EmbeddedDocument], bool] | None:
        """For codec.read_columns: the record class of field `name` when it is a list of
        records, and whether such a list is stored by columns (see _columnar); else None."""
        field = cls._fields.get(name)
        if type(field) is not ListField or type(field.item_field) is not EmbeddedDocumentField:
            return None
        return field.item_field.document_type, _columnar(field)

    @classmethod
    def keys(cls, engine: Engine | None = None) -> list[str]:
        """The keys of all stored documents of this class, sorted."""
        return (engine or _persisted().default_engine()).keys(cls._collection())

    @classmethod
    def delete(cls, key: str, engine: Engine | None = None, version: int | None = None) -> bool:
        """Remove the stored document; True when there was one. With `version`, only that
        version: ConflictError, nothing removed, when the stored one is another."""
        return (engine or _persisted().default_engine()).delete(cls._collection(), key, version)


_DOCUMENT_BASE = Document
def _columnar(field: Field | None) -> bool:
    """Whether `field` is a list of records that can be stored by columns: records of plain
    fields held in slots, built, converted and validated as the framework does."""
    if type(field) is not ListField or type(field.item_field) is not EmbeddedDocumentField:
        return False
    kind = field.item_field.document_type
    return kind._fast_display and bool(kind._readers) and kind.validate is EmbeddedDocument.validate


def _columns_of(field: Field, value: Any) -> dict[str, list[Any]] | None:
    """The columns of field values of a list of records (see _columnar) of the field's own
    class, every value a str or None; else None (the list is stored as display data)."""
    if type(value) is not list or not _columnar(field):
        return None
    kind = field.item_field.document_type  # type: ignore[attr-defined]
    if value and set(map(type, value)) != {kind}:
        return None
    try:
        columns = {name: list(map(read, value)) for name, read in zip(kind._fields, kind._readers)}
    except AttributeError:  # a record with an emptied field
        return None
    if not all(set(map(type, column)) <= codec.STR_OR_NONE for column in columns.values()):
        return None
    return columns
