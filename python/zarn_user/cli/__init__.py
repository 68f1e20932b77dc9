"""zarn-roles: look at, change, explain and exchange role matrices from the command line.

Uses the public operations of `zarn_user.role_matrix` and the framework's storage (the
import applies many lines at once through the index operations: see interchange.py).
Exit statuses: see `zarn-roles --help` (errors.py). Rooms: `entry` (parser and error
boundary), `command` (how a command declares itself), `commands`, `transfer` (import),
`demo`; below them `interchange`, `holders`, `render`, `store`, `context`, `errors`.
"""

from .entry import main

__all__ = ["main"]
