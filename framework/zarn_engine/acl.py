"""Access control records handed to document actions."""

from zarn_fields import StringField

from .document import EmbeddedDocument


class AclItem(EmbeddedDocument):
    """One permission: an action on an object."""

    obj = StringField(required=True)
    act = StringField(required=True)


class Acl(list):
    """A list of AclItem records."""

    @classmethod
    def from_display(cls, items=()):
        return cls(AclItem.from_display(**item) for item in items)

    def to_display(self):
        return [item.to_display() for item in self]
