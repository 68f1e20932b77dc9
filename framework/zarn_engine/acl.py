"""Access control records handed to document actions."""

from __future__ import annotations

TYPE_CHECKING = False  # typing is imported by type checkers only: start-up time
if TYPE_CHECKING:
    from typing import Any, Iterable, Mapping, Self

from zarn_fields import StringField

from .document import EmbeddedDocument


class AclItem(EmbeddedDocument):
    """One permission: an action on an object."""

    obj = StringField(required=True)
    act = StringField(required=True)


class Acl(list[AclItem]):
    """A list of AclItem records."""

    @classmethod
    def from_display(cls, items: Iterable[Mapping[str, Any]] = ()) -> Self:
        return cls(AclItem.from_display(**item) for item in items)

    def to_display(self) -> list[dict[str, Any]]:
        return [item.to_display() for item in self]
