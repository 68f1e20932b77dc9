"""Field declarations: options, defaults, validation and display conversion."""

from __future__ import annotations

import copy
import re
TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, ClassVar

__all__ = ["ValidationError", "Field", "StringField", "DictField"]


class ValidationError(ValueError):
    """A value that its field refuses; names the document class, the field and the value."""

    def __init__(self, document: str, field: str, value: Any, reason: str) -> None:
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

    allowed: ClassVar[tuple[str, ...]] = ("required", "default", "description", "sample", "unique")

    def __init__(self, **options: Any) -> None:
        for key in options:
            if key not in self.allowed:
                raise TypeError(f"{type(self).__name__}() got an unexpected keyword argument '{key}'")
        self.options = options
        self.required = bool(options.get("required", False))
        self.unique = bool(options.get("unique", False))
        self.description: Any = options.get("description")
        self.sample: Any = options.get("sample")
        self.default: Any = options.get("default")
        self.name: str | None = None

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    def get_default(self) -> Any:
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

    def to_display(self, value: Any) -> Any:
        return value

    def from_display(self, value: Any) -> Any:
        return value

    def __repr__(self) -> str:
        opts = ", ".join(f"{k}={v!r}" for k, v in self.options.items())
        return f"{type(self).__name__}({opts})"


class StringField(Field):
    """A string, optionally matched against a regular expression."""

    allowed = Field.allowed + ("regex",)

    def __init__(self, **options: Any) -> None:
        super().__init__(**options)
        self.regex: str | None = options.get("regex")
        self._pattern = re.compile(self.regex) if self.regex is not None else None

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        if not isinstance(value, str):
            raise ValidationError(document, path, value, f"expected str, got {type(value).__name__}")
        if patterns and self._pattern is not None and not self._pattern.fullmatch(value):
            raise ValidationError(document, path, value, f"does not match {self.regex!r}")


class DictField(Field):
    """A dict of plain values."""

    def check_value(self, value: Any, document: str, path: str, deep: bool = True, patterns: bool = True) -> None:
        if not isinstance(value, dict):
            raise ValidationError(document, path, value, f"expected dict, got {type(value).__name__}")

    def to_display(self, value: Any) -> Any:
        return None if value is None else dict(value)

    def from_display(self, value: Any) -> Any:
        return None if value is None else dict(value) if isinstance(value, dict) else value
