"""User and permission organisation of applications; `zarn_user.role_matrix` holds the roles."""
