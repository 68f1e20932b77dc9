"""User and permission organisation of applications; `zarn_user.role_matrix` holds the roles."""

try:
    from ._version import __version__ as __version__  # written by the build
except ImportError:  # run from a source tree that was never built
    __version__ = "0+unknown"

from zarn_engine.changes import register_applier as _register

from . import _applier

# Held matrices are brought up to date by applying changes, their graph kept in step.
_register("zarn_user.role_matrix.RoleMatrix", _applier.apply, _applier.rebuild)
del _register
