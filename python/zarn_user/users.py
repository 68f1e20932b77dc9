"""Users and the roles they hold in an application: see `zarn_user.core.users`."""

from .core.users import *  # noqa: F403
from .core.users import __all__ as __all__
