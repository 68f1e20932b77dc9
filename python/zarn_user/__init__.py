"""User and permission organisation of applications; `zarn_user.role_matrix` holds the roles."""

try:
    from ._version import __version__ as __version__  # written by the build
except ImportError:  # run from a source tree that was never built
    __version__ = "0+unknown"

# Held matrices are brought up to date by applying changes, their graph kept in step by the
# module named here (read by the document framework when it first applies a change).
__zarn_appliers__ = {"RoleMatrix": "zarn_user._applier"}
