"""uvicorn's httptools protocol with the bounds a service open to every local user needs.

uvicorn and httptools bound neither the request head nor the time a client takes to send
its request, nor how many connections stay open; their keep-alive timeout starts only after a
first answer. Each connection here:

- has TCP_NODELAY set, whatever the event loop (asyncio sets it only when the listening
  socket was made with IPPROTO_TCP, and an answer's body then waits for the client's delayed
  ACK of its head, some 40 ms);
- must deliver its whole request (head and body) within `REQUEST_TIMEOUT_S` of being ready for
  one (connected, or its previous answer sent), else it is closed: idle, slowloris and stalled
  bodies alike. The handling of a request is not timed;
- may send at most `MAX_HEAD_BYTES` of request line and headers: more answers 431 and closes;
- counts against `max_connections`: when a new one would pass it, the connection waiting
  longest for its request is closed (an honest client sends its request at once), or, when
  every connection has a request in progress, the new one.

Refusals made here answer with the API's error shape, {"detail": ..., "error": ...}.
"""
import asyncio
import json
import logging
import resource
import socket
from typing import Any, Dict, Optional

import httptools
from uvicorn.config import Config
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol
from uvicorn.server import ServerState

REQUEST_TIMEOUT_S = 5.0
# Real heads are a few hundred bytes; browsers send cookies for 127.0.0.1 of any local app.
MAX_HEAD_BYTES = 32 * 1024
MAX_CONNECTIONS = 1000
# Descriptors kept for everything else the process opens: store connections, logs, the agent.
FD_RESERVE = 64

logger = logging.getLogger("zentab_api.protocol")


def connection_limit() -> int:
    """MAX_CONNECTIONS, or fewer when the descriptor limit would not leave FD_RESERVE beside them."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return MAX_CONNECTIONS
    return max(1, min(MAX_CONNECTIONS, soft - FD_RESERVE))


def error_bytes(status: int, detail: str, error: str) -> bytes:
    """A whole HTTP/1.1 answer in the API's error shape that closes the connection."""
    from uvicorn.protocols.http.httptools_impl import STATUS_LINE

    body = json.dumps({"detail": detail, "error": error}).encode()
    return b"".join([STATUS_LINE[status], b"content-type: application/json\r\ncontent-length: ",
                     str(len(body)).encode(), b"\r\nconnection: close\r\n\r\n", body])


class _HeadTooLarge(Exception):
    pass


class GuardedProtocol(HttpToolsProtocol):
    max_connections = MAX_CONNECTIONS

    def __init__(self, config: Config, server_state: ServerState, app_state: Dict[str, Any],
                 _loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
        super().__init__(config, server_state, app_state, _loop)
        self._deadline: Optional[asyncio.TimerHandle] = None
        self.waiting_since = 0.0  # when the connection became ready for its current request
        self._in_head = True  # the next bytes belong to a request head
        self._raw_head = 0  # bytes received since the head began (bounds what the parser buffers)
        self._head_size = 0  # the head as parsed

    # -- connection ---------------------------------------------------------------
    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        sock = transport.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:  # not TCP (tests over a socket pair)
                pass
        self._arm()
        if len(self.connections) > self.max_connections:
            self._make_room()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._disarm()
        super().connection_lost(exc)

    def _make_room(self) -> None:
        waiting = [c for c in self.connections if isinstance(c, GuardedProtocol) and c._deadline is not None]
        victim = min(waiting, key=lambda c: c.waiting_since) if waiting else self
        logger.warning("Open connections at the limit (%d): closing the one waiting longest for its request",
                       self.max_connections)
        victim._disarm()
        victim.transport.close()

    # -- the request deadline ---------------------------------------------------------
    def _arm(self) -> None:
        self._disarm()
        self.waiting_since = self.loop.time()
        self._deadline = self.loop.call_later(REQUEST_TIMEOUT_S, self._timed_out)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def _timed_out(self) -> None:
        self._deadline = None
        if not self.transport.is_closing():
            self.transport.close()

    # -- reading ----------------------------------------------------------------------
    def data_received(self, data: bytes) -> None:
        self._unset_keepalive_if_required()
        if self._in_head:
            self._raw_head += len(data)
        try:
            self.parser.feed_data(data)
        except httptools.HttpParserUpgrade:
            self._refuse(400, "Protocol upgrades are not supported.", "BadRequest")
        except httptools.HttpParserError:
            if self._head_size > MAX_HEAD_BYTES:
                self._refuse_large_head()
            else:
                self.logger.warning("Invalid HTTP request received.")
                self._refuse(400, "Invalid HTTP request received.", "BadRequest")
        else:
            # A head still incomplete after this much: what the parser holds is bounded too.
            if self._in_head and self._raw_head > MAX_HEAD_BYTES and not self.transport.is_closing():
                self._refuse_large_head()

    def send_400_response(self, msg: str) -> None:
        self._refuse(400, msg, "BadRequest")

    def _refuse_large_head(self) -> None:
        self._refuse(431, f"The request line and headers exceed {MAX_HEAD_BYTES} bytes.",
                     "RequestHeaderFieldsTooLarge")

    def _refuse(self, status: int, detail: str, error: str) -> None:
        self._disarm()
        if not self.transport.is_closing():
            if self.cycle is None or self.cycle.response_complete:
                self.transport.write(error_bytes(status, detail, error))
            self.transport.close()

    def on_message_begin(self) -> None:
        super().on_message_begin()
        self._head_size = 0

    def on_url(self, url: bytes) -> None:
        self._head_size += len(url)
        super().on_url(url)

    def on_header(self, name: bytes, value: bytes) -> None:
        self._head_size += len(name) + len(value) + 4
        super().on_header(name, value)

    def on_headers_complete(self) -> None:
        if self._head_size > MAX_HEAD_BYTES:
            raise _HeadTooLarge()  # the parser stops; data_received answers
        self._in_head, self._raw_head = False, 0
        super().on_headers_complete()

    def on_message_complete(self) -> None:
        self._disarm()  # the request is in: how long its handling takes is not timed here
        self._in_head = True
        super().on_message_complete()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if self.transport.is_closing():
            return
        # Ready for the next request, unless one (pipelined) has already arrived whole.
        if self.cycle is None or self.cycle.response_complete or self.cycle.more_body:
            self._arm()
