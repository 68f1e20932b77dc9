"""What a command works with: its store, its output streams, and a way to run other commands
(for the tour)."""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    from typing import Any, Callable

    from ..core.store import Store


class OutputFailed(Exception):
    """Standard output could not be written (the cause is the OSError)."""

    def __init__(self, cause: BaseException) -> None:
        super().__init__(str(cause))
        self.cause = cause


class Output:
    """Standard output and standard error of one command: human text or JSON.

    A reader that goes away (`zarn-roles demo | head -1`) is no error: what is left to
    print goes nowhere, and the command ends as it would have, with its own exit status."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.closed = False
        self.emitted = False  # an answer was written whole

    def emit(self, data: Any, text: str) -> None:
        """An answer: `text` for people, `data` as JSON with --json."""
        if self.as_json:
            import json

            text = json.dumps(data, indent=2)
        self.line(text)
        self.emitted = True

    def line(self, text: str = "") -> None:
        self.write(text + "\n")

    def write(self, text: str) -> None:
        if self.closed:
            return
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except BrokenPipeError:
            self._drop()
        except (OSError, UnicodeEncodeError) as exc:  # a full disk, a terminal gone, text it cannot take
            self._drop()
            raise OutputFailed(exc) from None

    def _drop(self) -> None:
        self.closed = True
        # Whatever is still buffered, and any later print, goes to /dev/null, so that the
        # interpreter's own flush at exit does not complain either.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        except (OSError, ValueError):  # no file descriptor behind standard output
            pass

    def note(self, text: str) -> None:
        """A line for people on standard error: progress, files written, what was left out."""
        try:
            print(text, file=sys.stderr, flush=True)
        except OSError:  # standard error closed as well: nobody to tell
            pass


class Context:
    __slots__ = ("store", "out", "run", "interactive")

    def __init__(self, store: Store, out: Output, run: Callable[[list[str]], int]) -> None:
        self.store = store
        self.out = out
        self.run = run  # runs another command line, as main() does
        self.interactive = sys.stdin.isatty()  # someone can answer a question
