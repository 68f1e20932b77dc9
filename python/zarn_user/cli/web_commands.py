"""zarn-roles serve: the web console and HTTP API."""

from __future__ import annotations

import ipaddress
import os
import socket
import sys

from .command import Command, arg
from .errors import BadInput

TYPE_CHECKING = False  # the typing module is not imported at start-up
if TYPE_CHECKING:
    import argparse

    from .context import Context

LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


# --- serve --------------------------------------------------------------------------------


def _listen(host: str, port: int) -> socket.socket:
    try:
        family, kind, proto, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                             flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
    except (OSError, UnicodeError) as exc:
        raise BadInput(f"cannot listen on {host}: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except OSError as exc:
        sock.close()
        raise BadInput(f"cannot listen on {host}:{port}: {exc.strerror or exc}") from None
    return sock


def _host_names(host: str, allowed: list[str]) -> list[str]:
    """The Host header values the server answers: the address it listens on, the loopback
    names when that is a loopback address, and the names given."""
    names = [host]
    try:
        address = ipaddress.ip_address(host)
    except ValueError:
        address = None
    if host == "localhost" or (address is not None and address.is_loopback):
        names += LOOPBACK_NAMES
    return list(dict.fromkeys(names + allowed))


def cmd_serve(args: argparse.Namespace, ctx: Context) -> None:
    store = ctx.store
    try:
        import uvicorn

        from ..web import limits, timeouts
        from ..web.app import create_app
    except ImportError as exc:
        raise BadInput(f"the web console needs its extra ({exc.name} is missing): pip install starlette uvicorn httptools") from None
    if not 0 <= args.port <= 65535:
        raise BadInput(f"invalid port {args.port}: 0 to 65535")
    if args.max_body < 1:
        raise BadInput("--max-body is at least 1 (MiB)")
    for flag in ("header_timeout", "body_timeout", "keep_alive"):
        if not 0 < getattr(args, flag) <= 3600:
            raise BadInput(f"--{flag.replace('_', '-')} is a number of seconds over 0, at most 3600")
    for flag in ("max_checks", "max_roles"):
        if getattr(args, flag) < 1:
            raise BadInput(f"--{flag.replace('_', '-')} is at least 1")
    read_token = args.read_token if args.read_token is not None else os.environ.get("ZARN_ROLES_READ_TOKEN")
    if args.max_streams < 0:
        raise BadInput("--max-streams is 0 or more")
    token = args.token if args.token is not None else os.environ.get("ZARN_ROLES_TOKEN")
    store.open(create=False)
    sock = _listen(args.host, args.port)
    port = sock.getsockname()[1]
    hosts = _host_names(args.host, args.allow_host)
    caps = limits.Caps(checks=args.max_checks, roles=args.max_roles, read_token=read_token or None)
    app = create_app(store.engine, token=token or None, allow_hosts=hosts, max_body=args.max_body << 20,
                     playground=getattr(args, "playground", None), caps=caps, body_timeout=args.body_timeout,
                     max_streams=args.max_streams)
    shown = f"[{args.host}]" if ":" in args.host else args.host
    mode = "writes need the token" if token else "read-only: no token given"
    print(f"zarn-roles: serving http://{shown}:{port}/ ({mode}; Ctrl-C stops)", flush=True)
    if args.host in ("0.0.0.0", "::"):
        print(f"zarn-roles: listening on every interface; requests must name one of {', '.join(hosts)} "
              f"as their host (add names with --allow-host)", file=sys.stderr, flush=True)
    config = uvicorn.Config(app, log_level="warning", access_log=False, timeout_graceful_shutdown=2,
                            lifespan="on", http=timeouts.protocol(args.header_timeout),
                            timeout_keep_alive=args.keep_alive)

    class Server(uvicorn.Server):
        async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
            app.state.events.close()  # open event streams end now: the graceful wait is for requests
            await super().shutdown(sockets)

    try:
        Server(config).run(sockets=[sock])
    except KeyboardInterrupt:
        pass  # Ctrl-C is how a server is stopped: not an error
    finally:
        sock.close()
    print("zarn-roles: stopped", file=sys.stderr)


SERVE_EPILOG = (
    "Heavy reads (exports, assertion files, dry-run imports, drawings, checks naming over 100 roles, the "
    "permissions of over 10 roles, diffs of versions over 64 apart) need a token when the server has one: a write token or the --read-token. A server with "
    "no token at all lets anyone run them, within the caps (--max-checks, --max-roles, --max-body); more than "
    "a cap allows is answered 413, naming the cap.")

DEFAULT_PORT = 8470  # the web package's own default, without importing it at start-up

COMMANDS = [
    Command("serve", cmd_serve, "serve the web console and the HTTP API (read-only without a token)", (
        arg("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1, this machine only)"),
        arg("--port", type=int, default=DEFAULT_PORT, help=f"port (default: {DEFAULT_PORT}; 0: any free one)"),
        arg("--token", default=None, help="the token writes need as 'Authorization: Bearer TOKEN' "
                                          "(default: $ZARN_ROLES_TOKEN; none: read-only)"),
        arg("--allow-host", action="append", default=[], metavar="NAME",
            help="a further name clients may reach the server by (the Host header); repeatable"),
        arg("--max-body", type=int, default=16, metavar="MIB", help="largest request body in MiB (default: 16)"),
        arg("--read-token", default=None, help="a token for heavy reads only (default: $ZARN_ROLES_READ_TOKEN); "
                                               "the write tokens do them too"),
        arg("--max-checks", type=int, default=1000, metavar="N", help="most checks in one check-batch (default: 1000)"),
        arg("--max-roles", type=int, default=100_000, metavar="N",
            help="most roles named in one check, check-batch or permissions request (default: 100000)"),
        arg("--header-timeout", type=float, default=10.0, metavar="SECONDS",
            help="time a client has to send a request's head (default: 10); 408, closed after"),
        arg("--body-timeout", type=float, default=30.0, metavar="SECONDS",
            help="time a client has to send a request's body (default: 30); 408, closed after"),
        arg("--keep-alive", type=float, default=5.0, metavar="SECONDS",
            help="an idle connection is closed after this (default: 5)"),
        arg("--max-streams", type=int, default=4096, metavar="N",
            help="most event streams open at once; more are refused with 503 (default: 4096)")),
            epilog=SERVE_EPILOG),
]
