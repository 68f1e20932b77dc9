"""How a command declares itself: its name, help, arguments and the function that runs it.

A module that brings commands lists them as `COMMANDS` and is named in
`zarn_user.cli.entry.COMMAND_MODULES`; nothing else changes to add a command.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    from .context import Context


@dataclass(frozen=True)
class Argument:
    names: tuple[str, ...]
    options: dict[str, Any]
    complete: str | None = None  # "apps" or "roles": completed from the database


def arg(*names: str, complete: str | None = None, **options: Any) -> Argument:
    """An argument, given as to `ArgumentParser.add_argument`."""
    return Argument(names, options, complete)


@dataclass(frozen=True)
class Command:
    name: str
    run: Callable[[argparse.Namespace, Context], None]
    help: str
    arguments: tuple[Argument, ...] = ()
    epilog: str | None = None
    hidden: bool = False  # left out of --help (helpers of the shell completion)
    extra: dict[str, Any] = field(default_factory=dict)  # further add_parser keywords


# Arguments that many commands share.
APP = arg("app", metavar="APP", complete="apps")
ROLE = arg("role", metavar="ROLE", complete="roles")
OBJ = arg("obj", metavar="OBJ")
ACT = arg("act", metavar="ACT")
ACTS = arg("acts", metavar="ACT", nargs="*")
