"""User and permission organisation of applications; `zarn_user.role_matrix` holds the roles."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("zarn-user")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"
