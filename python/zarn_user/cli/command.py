"""How a command declares itself: its name, help, arguments and the function that runs it.

A module that brings commands lists them as `COMMANDS` and is named in
`zarn_user.cli.entry.COMMAND_MODULES`; nothing else changes to add a command.
"""

from __future__ import annotations

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse
    from typing import Any, Callable

    from .context import Context


class Argument:
    __slots__ = ("names", "options", "complete")

    def __init__(self, names: tuple[str, ...], options: dict[str, Any], complete: str | None = None) -> None:
        self.names = names
        self.options = options
        self.complete = complete  # "apps" or "roles": completed from the database


def arg(*names: str, complete: str | None = None, **options: Any) -> Argument:
    """An argument, given as to `ArgumentParser.add_argument`."""
    return Argument(names, options, complete)


class Command:
    __slots__ = ("name", "run", "help", "arguments", "epilog", "hidden")

    def __init__(self, name: str, run: Callable[[argparse.Namespace, Context], None], help: str,
                 arguments: tuple[Argument, ...] = (), epilog: str | None = None, hidden: bool = False) -> None:
        self.name = name
        self.run = run
        self.help = help
        self.arguments = arguments
        self.epilog = epilog
        self.hidden = hidden  # left out of --help (helpers of the shell completion)


# Arguments that many commands share.
APP = arg("app", metavar="APP", complete="apps")
ROLE = arg("role", metavar="ROLE", complete="roles")
OBJ = arg("obj", metavar="OBJ")
ACT = arg("act", metavar="ACT")
ACTS = arg("acts", metavar="ACT", nargs="*")
