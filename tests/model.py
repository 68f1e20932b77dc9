"""A plain-Python RoleMatrix: the reference the extension module is compared with.

Written as the class would be written in Python, on the same framework, including the
three decided behaviours: an empty replacement clears the role's successors in `dag`, a
failing cycle guard inside `_set_sub_groups` puts the former groups back first, and
`_set_sub_permissions` refuses a role that is no node before changing anything.
"""

from __future__ import annotations

from zarn_fields import StringField, DictField
from zarn_engine import AclItem
from zarn_engine import ListField, EmbeddedDocumentField
from zarn_engine import Document, EmbeddedDocument

NAME_PATTERN = "^(?=[A-Za-z0-9])(?!.*__)[A-Za-z0-9_]{1,18}[A-Za-z0-9]$"
APP_NAME_PATTERN = "^(?=[A-Za-z0-9])(?!.*--)[A-Za-z0-9-]{1,18}[A-Za-z0-9]$"


class Policy(EmbeddedDocument):
    sub: str = StringField(required=True)
    obj: str = StringField(required=True)
    act: str = StringField(required=True)


class Group(EmbeddedDocument):
    child: str = StringField(required=True, regex=NAME_PATTERN)
    parent: str = StringField(required=True, regex=NAME_PATTERN)


class RoleContent(EmbeddedDocument):
    name: str = StringField(sample="user_admin", description="Role Name", regex=NAME_PATTERN)
    roles: list = ListField(StringField(regex=NAME_PATTERN), description="Contained Roles", default=[])
    permissions: list = ListField(EmbeddedDocumentField(AclItem), description="Contained Permissions",
                                  default=[])


class RoleMatrix(Document):
    """Permission organization of an application."""

    _key_fields = ["name"]

    name: str = StringField(description="Application Name", unique=True, regex=APP_NAME_PATTERN)
    policies: list = ListField(EmbeddedDocumentField(document_type=Policy))
    groups: list = ListField(EmbeddedDocumentField(document_type=Group))
    new_user_fields: list = ListField(StringField(), description="Needed new user's information", default=[])
    new_user_roles: list = ListField(StringField(), description="Default roles for new user", default=[])
    new_user_profile: dict = DictField(description="New user's profile")
    callback_urls: list = ListField(StringField(), description="List of authorized callback Url", default=[])

    @classmethod
    def _collection(cls):
        return "Model" + cls.__name__

    def __init__(self, **kwargs):
        if "policies" not in kwargs:
            kwargs["policies"] = [Policy(sub="root", obj="*", act="*")]
        if "groups" not in kwargs:
            kwargs["groups"] = [Group(child="admin", parent="root")]
        super().__init__(**kwargs)
        self.dag = {}
        self._dag_generate()

    # --- graph index -------------------------------------------------------------------

    def _dag_add_policy(self, policy: Policy):
        sub, pair = policy.sub, (policy.obj, policy.act)
        self._add_edge(sub, pair)

    def _dag_add_group(self, group: Group):
        child, parent = group.child, group.parent
        self._add_edge(child, parent)

    def _add_edge(self, a, b):
        dag = self.dag
        if a in dag:
            if b not in dag[a]:
                dag[a].append(b)
        else:
            dag[a] = [b]
        if b not in dag:
            dag[b] = []

    def _dag_set_policies(self, sub, policies: list):
        policy_list = [p for p in policies if p.sub == sub]
        self.dag[sub] = [x for x in self.dag[sub] if isinstance(x, str)]
        for policy in policy_list:
            self._dag_add_policy(policy)

    def _dag_set_groups(self, child: str, groups: list):
        group_list = [g for g in groups if g.child == child]
        self.dag[child] = [x for x in self.dag[child] if isinstance(x, tuple)]
        for group in group_list:
            self._dag_add_group(group)

    def _dag_generate(self):
        for group in self.groups:
            self._dag_add_group(group)
        for policy in self.policies:
            self._dag_add_policy(policy)
        if "public" not in self.dag:
            self.dag["public"] = []

    # --- search and guard --------------------------------------------------------------

    def _dfs(self, start: str, discovered: dict) -> dict:
        discovered[start] = True
        for end in self.dag[start]:
            if not discovered[end]:
                self._dfs(end, discovered)
        return discovered

    def _check_new_group(self, new_group: Group) -> bool:
        child = new_group.child
        if child not in self.dag:
            self.dag[child] = []
        discovered = {key: False for key in self.dag}
        self._dfs(new_group.parent, discovered)
        return not discovered[child]

    # --- mutation ----------------------------------------------------------------------

    def _add_permissions(self, sub: str, permissions: list):
        for permission in permissions:
            new_policy = Policy(sub=sub, obj=permission.obj, act=permission.act)
            if new_policy in self.policies:
                continue
            self._dag_add_policy(new_policy)
            self.policies.append(new_policy)

    def _add_groups(self, child: str, parents: list):
        for parent in parents:
            new_group = Group(child=child, parent=parent)
            if new_group in self.groups:
                continue
            if not self._check_new_group(new_group):
                continue
            self._dag_add_group(new_group)
            self.groups.append(new_group)

    def _set_sub_permissions(self, sub: str, permissions: list):
        assert isinstance(self.policies, list)
        new_policies = [Policy(sub=sub, obj=p.obj, act=p.act) for p in permissions]
        if new_policies and sub not in self.dag:
            raise KeyError(sub)
        self.policies = [p for p in self.policies if p.sub != sub]
        if not new_policies:
            if sub in self.dag:
                self._dag_set_policies(sub, [])
            return
        self.policies.extend(new_policies)
        self._dag_set_policies(sub, new_policies)

    def _set_sub_groups(self, child: str, parents: list):
        new_groups = [Group(child=child, parent=parent) for parent in parents]
        old_groups = [g for g in self.groups if g.child == child]
        self.groups = [g for g in self.groups if g.child != child]
        if not new_groups:
            if child in self.dag:
                self._dag_set_groups(child, [])
            return
        for new_group in new_groups:
            try:
                safe = self._check_new_group(new_group)
            except BaseException:
                self.groups.extend(old_groups)
                raise
            if not safe:
                self.groups.extend(old_groups)
                return
        self.groups.extend(new_groups)
        self._dag_set_groups(child, new_groups)

    # --- queries and updates -----------------------------------------------------------

    def get_role_contents(self, role_name: str, _acl=None):
        policies = [p for p in self.policies if p.sub == role_name]
        permissions = [{"obj": p.obj, "act": p.act} for p in policies]
        roles = [g.parent for g in self.groups if g.child == role_name]
        return RoleContent.from_display(name=role_name, roles=roles, permissions=permissions)

    def add_role_permissions(self, role_name: str, permissions: list, _acl=None):
        permissions = [AclItem.from_display(**item) for item in permissions]
        self._add_permissions(role_name, permissions)
        self.save()
        return self.get_role_contents(role_name=role_name)

    def set_role_permissions(self, role_name: str, permissions: list, _acl=None):
        permissions = [AclItem.from_display(**item) for item in permissions]
        self._set_sub_permissions(role_name, permissions)
        self.save()
        return self.get_role_contents(role_name=role_name)

    def add_role_sub_roles(self, role_name: str, sub_role_names: list, _acl=None):
        self._add_groups(role_name, sub_role_names)
        self.save()
        return self.get_role_contents(role_name=role_name)

    def set_role_sub_roles(self, role_name: str, sub_role_names: list, _acl=None):
        self._set_sub_groups(role_name, sub_role_names)
        self.save()
        return self.get_role_contents(role_name=role_name)

    def get_implicit_permissions_for_roles(self, role_names: list, _acl=None):
        for role_name in role_names:
            if role_name not in self.dag:
                self.dag[role_name] = []
        private_disc = {key: False for key in self.dag}
        for role_name in role_names:
            self._dfs(role_name, private_disc)
        private_permission = []
        for node, flag in private_disc.items():
            if flag and isinstance(node, tuple):
                private_permission.append({"obj": node[0], "act": node[1]})
        return RoleContent.from_display(name=",".join(role_names), permissions=private_permission)
