"""User and permission organisation of applications; `zarn_user.role_matrix` holds the roles."""

try:
    from ._version import __version__ as __version__  # written by the build
except ImportError:  # run from a source tree that was never built
    __version__ = "0+unknown"
