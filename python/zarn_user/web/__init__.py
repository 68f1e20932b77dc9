"""The web console and HTTP API of role matrices (`zarn-roles serve`).

`create_app` needs the `web` extra (Starlette); the assertions and snapshots this package
also holds need nothing beyond the module, so `zarn-roles test` runs without the extra.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping

if TYPE_CHECKING:
    from .app import Guard

DEFAULT_PORT = 8470


def create_app(engine_or_url: Any, token: str | Mapping[str, str] | None = None, **options: Any) -> Guard:
    """The console as an ASGI application: see `zarn_user.web.app.create_app`."""
    from .app import create_app as create

    return create(engine_or_url, token=token, **options)
