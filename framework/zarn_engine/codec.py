"""The stored format of documents: the text a store keeps, written and read.

A document is stored as its display data (a JSON object of its fields), or, where lists of
records are stored by columns, as an object marked `"~": 2`: `fields` (the display data of
the other fields), `strings` (every distinct value of the records' fields, each once),
`patterned` (how many strings at the start of `strings` hold every value of the record
fields that have a pattern) and `lists` (of each list of records, one column per record
field: the positions in `strings` of its values, as unsigned 32-bit little-endian integers
in base64). Format 1 is the same without `patterned`.

This module knows fields (zarn_fields) and nothing of documents: it takes record classes as
they come (their `_fields`, `_field_names` and `_setters`), and documents (document.py), which
sit above it, say which of their fields are lists of records stored by columns.
"""

from __future__ import annotations

import json
import re
import sys
from array import array
from base64 import b64decode, b64encode
from binascii import Error as Base64Error
from collections import deque
from itertools import repeat, starmap

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Callable, Mapping

from zarn_fields import Field, StringField, ValidationError

from .errors import LoadError

# Positions in a column: unsigned 32-bit integers, little-endian.
POSITION = next(code for code in "IL" if array(code).itemsize == 4)
STR, STR_OR_NONE = frozenset([str]), frozenset([str, type(None)])


def columns_valid(columns: list[tuple[StringField, list[Any]]], patterns: bool) -> bool:
    """True when every value of each column is certainly one its StringField accepts: a type
    test per value, and each distinct value against each pattern once."""
    matched: dict[re.Pattern[str], set[Any]] = {}  # values to match, by pattern
    for field, values in columns:
        if not set(map(type, values)) <= (STR if field.required else STR_OR_NONE):
            return False
        if patterns and field._pattern is not None:
            matched.setdefault(field._pattern, set()).update(values)
    for pattern, distinct in matched.items():
        distinct.discard(None)
        if not all(map(pattern.search, distinct)):  # a match is true, None false
            return False
    return True


FORMAT = "~"  # the key that marks a text stored by columns: no field is named so
FORMAT_KEYS = {1: {FORMAT, "strings", "fields", "lists"}, 2: {FORMAT, "strings", "patterned", "fields", "lists"}}


class Head:
    """The strings at the start of a stored text's strings that values of fields with a
    pattern come from, and which patterns all of them match (each pattern tried once)."""

    __slots__ = ("strings", "_has_none", "_matched")

    def __init__(self, strings: tuple[Any, ...], has_none: bool) -> None:
        self.strings = strings
        self._has_none = has_none
        self._matched: dict[re.Pattern[str], bool] = {}

    def matches(self, pattern: re.Pattern[str]) -> bool:
        matched = self._matched.get(pattern)
        if matched is None:
            # A missing value is no match here: such lists are checked value by value.
            matched = not (self._has_none and None in self.strings) and all(map(pattern.search, self.strings))
            self._matched[pattern] = matched
        return matched


def stored_display(text: str) -> dict[str, Any]:
    """The display data of a stored text of any document class: lists of records stored by
    columns come back as lists of dicts (for stores' whole-document reads, which know no
    class). Raises ValueError for a text that is no stored document."""
    data = json.loads(text)
    if not isinstance(data, dict):
        raise ValueError("stored data is not an object")
    if FORMAT not in data:
        return data
    strings, lists = data.get("strings"), data.get("lists")
    display = dict(data.get("fields") or {})
    if not isinstance(strings, list) or not isinstance(lists, dict):
        raise ValueError("stored data is damaged (its records' columns)")
    for name, columns in lists.items():
        decoded = {field_name: decode(column) for field_name, column in columns.items()}
        if any(column is None for column in decoded.values()):
            raise ValueError(f"field {name!r}: stored columns are damaged")
        rows = zip(*(map(strings.__getitem__, column) for column in decoded.values()))  # type: ignore[arg-type]
        display[name] = [dict(zip(decoded, row)) for row in rows]
    return display


def encode(positions: list[int]) -> str:
    column = array(POSITION, positions)
    if sys.byteorder == "big":
        column.byteswap()
    return b64encode(column.tobytes()).decode("ascii")


def decode(text: Any) -> array[int] | None:
    """The positions a stored column holds; None when it holds none."""
    if not isinstance(text, str):
        return None
    try:
        data = b64decode(text, validate=True)
    except (Base64Error, ValueError):
        return None
    if len(data) % 4:
        return None
    column = array(POSITION, data)
    if sys.byteorder == "big":
        column.byteswap()
    return column


def strings_only(kind: Any) -> bool:
    """Whether every field of the record class `kind` is a plain StringField."""
    return all(type(field) is StringField for field in kind._fields.values())


def read_records(kind: Any, positions: dict[str, array[int]], strings: tuple[Any, ...],
                 head: Head | None, from_head: set[str]) -> list[Any] | None:
    """The records of the columns `positions`, the fields in `from_head` read from the
    head's strings: None when one of those holds a position past them. IndexError for a
    position past `strings`."""
    count = len(next(iter(positions.values()), ()))
    # Calls by starmap over one argument tuple (repeat's, or zip's, which zip fills anew
    # when nobody else holds it): no tuple made per call, so no collector pass set off
    # by them while the records are built.
    records = list(starmap(object.__new__, repeat((kind,), count)))
    for field_name, column in positions.items():
        source = head.strings if head is not None and field_name in from_head else strings
        try:
            deque(starmap(kind._setters[field_name], zip(records, map(source.__getitem__, column))), 0)
        except IndexError:
            if source is strings:
                raise
            return None
    return records


def write(fields: dict[str, Any], lists: dict[str, dict[str, list[Any]]],
          record_fields: Mapping[str, Mapping[str, Field]]) -> str:
    """The text a store keeps: `fields` (display data) as they are when `lists` is empty,
    else the columnar form, `lists` holding the columns of each list of records (every value
    a str or None) and `record_fields` the fields of each list's record class."""
    if not lists:
        return json.dumps(fields)
    # The values of fields with a pattern come first, so that a load checks a run of
    # strings against the pattern instead of collecting each column's distinct values.
    patterned: list[list[Any]] = []
    others: list[list[Any]] = []
    for name, columns in lists.items():
        declared = record_fields[name]
        for field_name, column in columns.items():
            has_pattern = getattr(declared[field_name], "_pattern", None) is not None
            (patterned if has_pattern else others).append(column)
    distinct: dict[Any, None] = {}
    for column in patterned:
        distinct.update(dict.fromkeys(column))
    head = len(distinct)
    for column in others:
        distinct.update(dict.fromkeys(column))
    index = {value: position for position, value in enumerate(distinct)}
    stored = {name: {field_name: encode(list(map(index.__getitem__, column)))
                     for field_name, column in columns.items()} for name, columns in lists.items()}
    return json.dumps({FORMAT: 2, "strings": list(distinct), "patterned": head, "fields": fields,
                       "lists": stored})


def read_columns(where: str, document: str, data: dict[str, Any], values: dict[str, Any], checked: set[str],
                 records_of: Callable[[str], tuple[Any, bool] | None]) -> dict[str, Any]:
    """The lists of records of a text stored by columns (`data`, its JSON object) into
    `values` (those checked named in `checked`); the display data of the other fields.
    `records_of(name)`: the record class of a field that is a list of records, and whether
    such a list is stored by columns; None for another field. LoadError, naming `where`,
    for a text that is damaged or holds a value its field refuses."""
    version = data[FORMAT]
    if type(version) is not int or FORMAT_KEYS.get(version) != set(data):
        raise LoadError(f"{where}: stored in a format this version cannot read ({version!r})")
    strings, lists = data["strings"], data["lists"]
    fields: dict[str, Any] = data["fields"]
    kinds = set(map(type, strings)) if isinstance(strings, list) else None
    patterned = data.get("patterned", 0)
    if (kinds is None or not isinstance(fields, dict) or not isinstance(lists, dict)
            or not kinds <= STR_OR_NONE or type(patterned) is not int
            or not 0 <= patterned <= len(strings)):
        raise LoadError(f"{where}: stored data is damaged (its records' columns)")
    # A tuple of atoms, which the collector stops tracking at its next pass: its full
    # passes while the records are built need not walk every string.
    strings = tuple(strings)
    del data["strings"]
    has_none = type(None) in kinds
    head = Head(strings[:patterned], has_none) if version >= 2 else None
    for name, columns in lists.items():
        found = records_of(name)
        if name in fields or found is None or not isinstance(columns, dict):
            raise LoadError(f"{where}: field {name!r} is not a list of records stored by columns")
        try:
            fields = _read_list(where, document, name, found, columns, strings, head, has_none, fields, values)
        except IndexError:  # a position past the strings
            raise LoadError(f"{where}, field {name!r}: stored columns are damaged") from None
        if name in values:
            checked.add(name)
    return fields

def _read_list(where: str, document: str, name: str, found: tuple[Any, bool], columns: dict[str, Any],
               strings: tuple[Any, ...], head: Head | None, has_none: bool, fields: dict[str, Any],
               values: dict[str, Any]) -> dict[str, Any]:
    """One list of records stored by columns: its records into `values`, checked, or (when
    the record class changed since the save) its display data into a copy of `fields`,
    which is returned. IndexError for a position past the strings."""
    kind, columnar = found
    positions: dict[str, array[int]] = {}
    for field_name, text in columns.items():
        column = decode(text)
        if column is None:
            raise LoadError(f"{where}, field {name!r}: stored columns are damaged")
        positions[field_name] = column
    if len(set(map(len, positions.values()))) > 1:
        raise LoadError(f"{where}, field {name!r}: stored columns are damaged")
    if not columnar or set(columns) != kind._field_names:
        # The record class changed since the save: its records are built and checked
        # from their display data, as a text of display data would give them.
        rows = zip(*(map(strings.__getitem__, column) for column in positions.values()))
        return {**fields, name: [dict(zip(positions, row)) for row in rows]}
    # Each distinct value checked once against its field (as the records' own validation
    # would check every record), the first record holding it named. Strings alone need
    # a look only where a field has a pattern, or is required and a value is missing.
    # A field with a pattern needs none either when the strings that all its values come
    # from match it: it then reads from those strings alone (a position past them is
    # looked at again below).
    plain = strings_only(kind)
    from_head = ({field_name for field_name, item_field in kind._fields.items()
                  if item_field._pattern is not None and head.matches(item_field._pattern)}
                 if plain and head is not None else set())
    records = read_records(kind, positions, strings, head, from_head) if from_head else None
    if records is None:
        from_head = set()
    used = {field_name: set(positions[field_name]) for field_name, item_field in kind._fields.items()
            if field_name not in from_head and (not plain or item_field._pattern is not None
                                                or (item_field.required and has_none))}
    if plain and columns_valid(
            [(kind._fields[field_name], list(map(strings.__getitem__, distinct)))
             for field_name, distinct in used.items()], True):
        used = {}
    for field_name, distinct in used.items():
        item_field = kind._fields[field_name]
        column = positions[field_name]
        for position in distinct:
            try:
                item_field.check(strings[position], document, field_name)
            except ValidationError as exc:
                path = f"{name}[{column.index(position)}].{field_name}"
                raise LoadError(refused(where, ValidationError(document, path, exc.value, exc.reason))) from None
    del used
    values[name] = records if records is not None else read_records(kind, positions, strings, None, set())
    return fields


def refused(where: str, exc: ValidationError) -> str:
    shown = repr(exc.value)
    if len(shown) > 60:
        shown = shown[:57] + "..."
    return f"{where}, field {exc.field!r}: {exc.reason} (value {shown})"
