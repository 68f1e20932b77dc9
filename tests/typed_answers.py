"""Checked by `mypy --strict` in CI (.ci/run): answers and records are typed by their
values, so that comparisons with plain strings type-check."""

import zarn_user.role_matrix as rm


def holds(matrix: rm.RoleMatrix, role: str) -> bool:
    content = matrix.get_role_contents(role)
    permission = content.permissions[0]
    policy = matrix.policies[0]
    group = matrix.groups[0]
    return (permission.obj == "order" and permission.act == "read" and content.name == role
            and content.roles == ["clerk"] and policy.sub == role and group.parent == "root")
