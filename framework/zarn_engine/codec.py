"""The stored format of documents: the text a store keeps, written and read.

A document is stored as its display data (a JSON object of its fields), or, where lists of
records are stored by columns, as an object marked `"~": 2`: `fields` (the display data of
the other fields), `strings` (every distinct value of the records' fields, each once),
`patterned` (how many strings at the start of `strings` hold every value of the record
fields that have a pattern) and `lists` (of each list of records, one column per record
field: the positions in `strings` of its values, as unsigned 32-bit little-endian integers
in base64). Format 1 is the same without `patterned`.

This module knows fields (zarn_fields) and nothing of documents: it takes record classes as
they come (their `_fields` and `_setters`), and documents (document.py) sit above it.
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
    from typing import Any, Mapping

from zarn_fields import Field, StringField

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
