"""The checks every request passes on its head alone, before any of its body is read.

Loopback does not keep out other local users, nor a web page that reaches 127.0.0.1 through
the browser (DNS rebinding): the Host must be ours and the key the one in the 0600 address
file. A body must say its size and stay within MAX_BODY_BYTES, or it is refused unread.
"""
import secrets
from typing import Iterable, Optional

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from zentab_api.app.exceptions.general_handler import error_response

# Host names a request may carry: anything else (a DNS-rebound name) is refused.
ALLOWED_HOSTS = ("127.0.0.1", "localhost")
# The largest legitimate body is a problem report: 10,000 characters, each at most 12 bytes
# of JSON ("\ud83d\ude00" escapes one astral character as two), so about 120 KB.
MAX_BODY_BYTES = 128 * 1024


class RequestGuard:
    """Host, key and body size, checked on the request head; a refusal never reads the body.

    `open_paths` (the documentation page, the document, the page's assets under a prefix
    ending in "/") need no key. A refusal of a request that has a body closes the
    connection: the client may still be sending it.
    """

    def __init__(self, app: ASGIApp, api_key: str, open_paths: Iterable[str]) -> None:
        self.app = app
        self.expected = b"bearer " + api_key.encode()
        paths = tuple(open_paths)
        self.open_exact = frozenset(p for p in paths if not p.endswith("/"))
        self.open_prefixes = tuple(p for p in paths if p.endswith("/"))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        host = authorization = length = None
        chunked = False
        for name, value in scope["headers"]:
            if name == b"host":
                host = value
            elif name == b"authorization":
                authorization = value
            elif name == b"content-length":
                length = value
            elif name == b"transfer-encoding":
                chunked = True
        try:
            size = int(length) if length is not None else None  # the parser has checked it is a number
        except ValueError:
            size = MAX_BODY_BYTES + 1
        # A body that may be large, or is still coming, is not read after a refusal: the
        # connection closes. A small declared one is skipped by the parser, keeping the connection.
        unbounded = chunked or (size is not None and size > MAX_BODY_BYTES)
        if not _host_allowed(host):
            await _refuse(scope, receive, send, 400, "Invalid host header", "InvalidHost", unbounded)
            return
        path = scope["path"]
        if not (path in self.open_exact or path.startswith(self.open_prefixes)) and not self._key_matches(authorization):
            await _refuse(scope, receive, send, 401, "Missing or wrong API key", "Unauthorized", unbounded,
                          {"WWW-Authenticate": "Bearer"})
            return
        if size is not None and size > MAX_BODY_BYTES:
            await _refuse(scope, receive, send, 413, f"The request body exceeds {MAX_BODY_BYTES} bytes.",
                          "RequestTooLarge", True)
            return
        if chunked:
            receive = _bounded(receive)
        await self.app(scope, receive, send)

    def _key_matches(self, authorization: Optional[bytes]) -> bool:
        if authorization is None:
            return False
        scheme, _, token = authorization.partition(b" ")
        # Constant time over the whole value: the scheme's case is free, the key's is not.
        return secrets.compare_digest(scheme.lower() + b" " + token.strip(), self.expected)


class BodyTooLarge(Exception):
    """A body without a declared size went past MAX_BODY_BYTES while it was read."""


def _bounded(receive: Receive) -> Receive:
    seen = 0

    async def bounded_receive() -> Message:
        nonlocal seen
        message = await receive()
        seen += len(message.get("body", b""))
        if seen > MAX_BODY_BYTES:
            from starlette.exceptions import HTTPException

            raise HTTPException(413, f"The request body exceeds {MAX_BODY_BYTES} bytes.",
                                headers={"Connection": "close"})
        return message

    return bounded_receive


def _host_allowed(host: Optional[bytes]) -> bool:
    if host is None:
        return False
    name = host.decode("latin-1")
    if name.startswith("["):
        return False  # we listen on 127.0.0.1 only
    return name.rpartition(":")[0] in ALLOWED_HOSTS if ":" in name else name in ALLOWED_HOSTS


async def _refuse(scope: Scope, receive: Receive, send: Send, status: int, detail: str, error: str,
                  close: bool, headers: Optional[dict] = None) -> None:
    response = error_response(status, detail, error)
    if headers:
        response.headers.update(headers)
    if close:
        response.headers["Connection"] = "close"
    await response(scope, receive, send)
