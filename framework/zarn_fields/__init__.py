"""Field declarations: options, defaults, validation and display conversion."""

from __future__ import annotations

import copy
import re
from typing import Any

__all__ = ["ValidationError", "Field", "StringField", "DictField"]


class ValidationError(ValueError):
    """A value that its field refuses; names the document class, the field and the value."""

    def __init__(self, document: str, field: str, value, reason: str):
        self.document = document
        self.field = field
        self.value = value
        self.reason = reason
        super().__init__(f"{document}.{field}: {reason} (value {value!r})")


class Field:
    """Base of all field declarations.

    `options` holds the keywords exactly as the declaration passed them, in their order,
    so that tools can read a declaration back.
    """

    allowed = ("required", "default", "description", "sample", "unique")

    def __init__(self, **options):
        for key in options:
            if key not in self.allowed:
                raise TypeError(f"{type(self).__name__}() got an unexpected keyword argument '{key}'")
        self.options = options
        self.required = bool(options.get("required", False))
        self.unique = bool(options.get("unique", False))
        self.description = options.get("description")
        self.sample = options.get("sample")
        self.default = options.get("default")
        self.name = None

    def __set_name__(self, owner, name):
        self.name = name

    def get_default(self):
        """A fresh copy of the default, so that no two documents share one."""
        default = self.default
        kind = type(default)
        if kind is list:
            return list(default)
        if kind is dict:
            return dict(default)
        if default is None or kind is str:
            return default
        if callable(default):
            return default()
        if isinstance(default, (list, dict)):
            return copy.copy(default)
        return default

    def check(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        """Raise ValidationError for a value this field refuses.

        `deep`: check the fields of nested records too (else only their class);
        `patterns`: check values against their regular expressions.
        """
        if value is None:
            if self.required:
                raise ValidationError(document, path, value, "required field is missing")
            return
        self.check_value(value, document, path, deep, patterns)

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        pass

    def to_display(self, value):
        return value

    def from_display(self, value):
        return value

    def __repr__(self):
        opts = ", ".join(f"{k}={v!r}" for k, v in self.options.items())
        return f"{type(self).__name__}({opts})"


class StringField(Field):
    """A string, optionally matched against a regular expression."""

    allowed = Field.allowed + ("regex",)

    def __init__(self, **options):
        super().__init__(**options)
        self.regex = options.get("regex")
        self._pattern = re.compile(self.regex) if self.regex is not None else None

    def check_value(self, value, document, path, deep=True, patterns=True):
        if not isinstance(value, str):
            raise ValidationError(document, path, value, f"expected str, got {type(value).__name__}")
        if patterns and self._pattern is not None and not self._pattern.search(value):
            raise ValidationError(document, path, value, f"does not match {self.regex!r}")


class DictField(Field):
    """A dict of plain values."""

    def check_value(self, value, document, path, deep=True, patterns=True):
        if not isinstance(value, dict):
            raise ValidationError(document, path, value, f"expected dict, got {type(value).__name__}")

    def to_display(self, value):
        return None if value is None else dict(value)

    def from_display(self, value):
        return None if value is None else dict(value) if isinstance(value, dict) else value
