# Types of the role_matrix extension module.
from typing import Any, ClassVar

from zarn_engine import Acl as Acl
from zarn_engine import Document as Document
from zarn_engine import EmbeddedDocument as EmbeddedDocument
from zarn_engine import EmbeddedDocumentField as EmbeddedDocumentField
from zarn_engine import ListField as ListField
from zarn_fields import DictField as DictField
from zarn_fields import StringField as StringField

annotations: Any

class AclItem(EmbeddedDocument):
    # zarn_engine.AclItem, the records of RoleContent.permissions, with its fields typed as
    # the values an instance holds.
    obj: str
    act: str

class Policy(EmbeddedDocument):
    sub: str
    obj: str
    act: str

class Group(EmbeddedDocument):
    child: str
    parent: str

class RoleContent(EmbeddedDocument):
    name: str
    roles: list[str]
    permissions: list[AclItem]

class RoleMatrix(Document):
    _key_fields: ClassVar[list[str]]
    _actions: ClassVar[dict[str, dict[str, Any]]]
    name: str
    policies: list[Policy]
    groups: list[Group]
    new_user_fields: list[str]
    new_user_roles: list[str]
    new_user_profile: dict[str, Any]
    callback_urls: list[str]
    dag: dict[str | tuple[str, str], list[str | tuple[str, str]]]
    def __init__(self, **kwargs: Any) -> None: ...
    def _dag_add_policy(self, policy: Policy) -> None: ...
    def _dag_set_policies(self, sub: str, policies: list[Policy]) -> None: ...
    def _dag_add_group(self, group: Group) -> None: ...
    def _dag_set_groups(self, child: str, groups: list[Group]) -> None: ...
    def _dag_generate(self) -> None: ...
    def _dfs(self, start: str, discovered: dict[Any, bool]) -> dict[Any, bool]: ...
    def _check_new_group(self, new_group: Group) -> bool: ...
    def _add_permissions(self, sub: str, permissions: list[Any]) -> None: ...
    def _add_groups(self, child: str, parents: list[str]) -> None: ...
    def _set_sub_permissions(self, sub: str, permissions: list[Any]) -> None: ...
    def _set_sub_groups(self, child: str, parents: list[str]) -> None: ...
    def get_role_contents(self, role_name: str, _acl: Any = None) -> RoleContent: ...
    def add_role_permissions(self, role_name: str, permissions: list[dict[str, str]], _acl: Any = None) -> RoleContent: ...
    def set_role_permissions(self, role_name: str, permissions: list[dict[str, str]], _acl: Any = None) -> RoleContent: ...
    def add_role_sub_roles(self, role_name: str, sub_role_names: list[str], _acl: Any = None) -> RoleContent: ...
    def set_role_sub_roles(self, role_name: str, sub_role_names: list[str], _acl: Any = None) -> RoleContent: ...
    def get_implicit_permissions_for_roles(self, role_names: list[str], _acl: Any = None) -> RoleContent: ...
