"""A bound on the time a client may take to send a request's head, for uvicorn.

uvicorn closes idle keep-alive connections, but a client that sends half a request head and
then trickles (or nothing at all) holds its connection open for as long as it likes. The
protocols here start a timer when a connection is made, and when the first bytes of a further
request arrive on it; the timer is stopped as soon as a whole head has been read. When it
fires, a connection that sent part of a head is answered 408 and closed; one that sent
nothing is closed. Between requests, the keep-alive timeout governs. A head is also bounded
in size (64 KiB: 431, closed), which h11 does by itself and httptools does not.

The body is bounded by the application (`Guard`, in app.py), which wraps `receive`.

    uvicorn.Config(app, http=timeouts.protocol(10.0), ...)
"""

from __future__ import annotations

import asyncio
import json
from typing import Any

from uvicorn.protocols.http.h11_impl import H11Protocol

try:
    from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
except ImportError:  # httptools is not installed: h11 only
    HttpToolsProtocol = None  # type: ignore[assignment,misc]

HEADER_TIMEOUT = 10.0
MAX_HEAD = 64 << 10  # bytes of a request head


def _answer(status: bytes, message: str, code: str) -> bytes:
    body = json.dumps({"error": message, "code": code}).encode()
    return (b"HTTP/1.1 " + status + b"\r\ncontent-type: application/json\r\nconnection: close\r\n"
            b"content-length: %d\r\n\r\n" % len(body)) + body


class _Timer:
    """The head timer of one connection. `proto` is a uvicorn HTTP protocol: a new head read
    replaces its `cycle`, which is how the end of a head is seen with either parser."""

    __slots__ = ("proto", "seconds", "handle", "cycle", "started", "size")

    def __init__(self, proto: Any, seconds: float) -> None:
        self.proto = proto
        self.seconds = seconds
        self.handle: asyncio.TimerHandle | None = None
        self.cycle: Any = None
        self.started = False
        self.size = 0

    def arm(self, started: bool = False) -> None:
        """Start timing a head, unless a request is in hand (read but not yet answered)."""
        self.stop()
        proto = self.proto
        if proto.transport.is_closing() or (proto.cycle is not None and not proto.cycle.response_complete):
            return
        self.cycle, self.started, self.size = proto.cycle, started, 0
        self.handle = proto.loop.call_later(self.seconds, self.fire)

    def receiving(self, data: bytes) -> None:
        """Before bytes are read: the first of a further request start the timer."""
        if self.handle is None:
            self.arm(started=True)
        self.size += len(data)

    def stop(self) -> None:
        if self.handle is not None:
            self.handle.cancel()
            self.handle = None

    def received(self) -> None:
        """After bytes were read: stop once they completed a head; refuse a head too long."""
        if self.handle is not None:
            self.started = True
            if self.proto.cycle is not self.cycle:
                self.stop()
            elif self.size > MAX_HEAD and not self.proto.transport.is_closing():
                self.stop()
                self.proto.transport.write(_answer(b"431 Request Header Fields Too Large",
                                                   f"a request head takes at most {MAX_HEAD} bytes", "too_large"))
                self.proto.transport.close()

    def fire(self) -> None:
        self.handle = None
        transport = self.proto.transport
        if transport.is_closing() or self.proto.cycle is not self.cycle:
            return
        if self.started:
            transport.write(_answer(b"408 Request Timeout", f"the request head did not arrive within "
                                                            f"{self.seconds:g} s", "timeout"))
        transport.close()


class _HeadTimed:
    """The head timer joined to a uvicorn protocol class (mixed in before it)."""

    header_timeout = HEADER_TIMEOUT

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.head_timer = _Timer(self, self.header_timeout)

    def connection_made(self, transport: Any) -> None:  # an asyncio.Transport
        super().connection_made(transport)  # type: ignore[misc]
        self.head_timer.arm()

    def connection_lost(self, exc: Exception | None) -> None:
        self.head_timer.stop()
        super().connection_lost(exc)  # type: ignore[misc]

    def data_received(self, data: bytes) -> None:
        self.head_timer.receiving(data)
        super().data_received(data)  # type: ignore[misc]
        self.head_timer.received()


class H11HeadTimeout(_HeadTimed, H11Protocol):
    pass


if HttpToolsProtocol is not None:
    class HttpToolsHeadTimeout(_HeadTimed, HttpToolsProtocol):
        pass


def protocol(header_timeout: float = HEADER_TIMEOUT, parser: str = "auto") -> type[asyncio.Protocol]:
    """The protocol class for `uvicorn.Config(http=...)`: httptools when installed (as
    uvicorn's "auto" picks), else h11; `parser` "h11" or "httptools" picks one."""
    if header_timeout <= 0:
        raise ValueError("the header timeout is a number of seconds over 0")
    base: type[Any] = H11HeadTimeout
    if parser == "httptools" or (parser == "auto" and HttpToolsProtocol is not None):
        if HttpToolsProtocol is None:
            raise ValueError("httptools is not installed")
        base = HttpToolsHeadTimeout
    elif parser not in ("auto", "h11"):
        raise ValueError(f"unknown parser {parser!r}: auto, h11 or httptools")
    found: type[asyncio.Protocol] = type(base.__name__, (base,), {"header_timeout": float(header_timeout)})
    return found
