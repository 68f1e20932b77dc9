"""zarn-roles: look at, change, explain and exchange role matrices from the command line.

A thin layer over the core (`zarn_user.core`): every change, import and export goes through
it, and this package maps its outcomes to exit statuses (errors.py; see `zarn-roles --help`).
Rooms: `entry` (parser and error boundary), `command` (how a command declares itself),
`commands`, `user_commands`, `transfer` (import), `history`, `demo`, `web_commands`; below
them `render`, `context`, `users_io`, `errors`.
"""

from .entry import main

__all__ = ["main"]
