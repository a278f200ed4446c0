"""The one place that talks HTTP to the remote server.

Errors: unreachable -> ConnectionError (a subclass when the OS says which, e.g.
ConnectionRefusedError), a timeout -> TimeoutError, an error status ->
RemoteServerError carrying the server's detail message.

A call takes at most its timeout as a whole (connection, answer and error body): urllib's
timeout bounds each read, and a server or proxy that dribbles its answer would otherwise hold
the caller (the local API's event loop) for as long as it likes.
"""
from __future__ import annotations

import functools
import http.client
import ipaddress
import json
import logging
import socket
import ssl
import threading
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, List, Optional
from urllib.parse import urlsplit

from zentab_client.exceptions import InsecureServerURLError, RemoteServerError, ServerNotConfiguredError
from zentab_client.settings.user_settings import get_user_settings

logger = logging.getLogger(__name__)

DEFAULT_TIMEOUT = 5.0



def _origin(url: str) -> tuple:
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    return scheme, (parts.hostname or "").lower(), parts.port or {"http": 80, "https": 443}.get(scheme)


class _CrossOriginRedirect(urllib.error.HTTPError):
    pass


class _Deadline:
    """Ends a call's connections when the call's time is up, wherever it is waiting.

    Each connection is watched through a duplicate of its socket, so shutting it down from the
    timer's thread touches neither the caller's socket objects (nor TLS state) nor a descriptor
    number that may have been reused.
    """

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.expired = False
        self._watched: List[socket.socket] = []
        self._lock = threading.Lock()
        self._timer = threading.Timer(seconds, self._expire)
        self._timer.daemon = True

    def __enter__(self) -> "_Deadline":
        self._timer.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._timer.cancel()
        with self._lock:
            watched, self._watched = self._watched, []
        for sock in watched:
            sock.close()

    def watch(self, sock: socket.socket) -> socket.socket:
        with self._lock:
            self._watched.append(sock.dup())
            if self.expired:
                self._end(self._watched[-1])
        return sock

    def _expire(self) -> None:
        with self._lock:
            self.expired = True
            for sock in self._watched:
                self._end(sock)

    @staticmethod
    def _end(sock: socket.socket) -> None:
        try:
            sock.shutdown(socket.SHUT_RDWR)  # a blocked read or write in the caller returns at once
        except OSError:
            pass


def _watched(connection_class: Any, req: urllib.request.Request, *args: Any, **kwargs: Any) -> Any:
    connection = connection_class(*args, **kwargs)
    deadline = getattr(req, "deadline", None)
    if deadline is not None:
        create = connection._create_connection
        connection._create_connection = lambda *a, **k: deadline.watch(create(*a, **k))
    return connection


class _HTTPHandler(urllib.request.HTTPHandler):
    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(functools.partial(_watched, http.client.HTTPConnection, req), req)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(functools.partial(_watched, http.client.HTTPSConnection, req), req,
                            context=self._context, check_hostname=self._check_hostname)  # type: ignore[attr-defined]


class _SameOriginRedirects(urllib.request.HTTPRedirectHandler):
    """Follows a redirect only within the origin the request went to.

    urllib copies every header, Authorization included, onto the redirected request; a
    server (or whoever answers in its place) could send the bearer token anywhere.
    """

    def redirect_request(self, req, fp, code, msg, headers, newurl):  # type: ignore[no-untyped-def]
        target = urllib.parse.urljoin(req.full_url, newurl)
        if _origin(target) != _origin(req.full_url):
            scheme, host, port = _origin(target)
            raise _CrossOriginRedirect(req.full_url, code, f"redirect to {scheme}://{host}:{port} refused",
                                       headers, fp)
        redirected = super().redirect_request(req, fp, code, msg, headers, newurl)
        if redirected is not None:
            redirected.deadline = getattr(req, "deadline", None)  # the same call, the same deadline
        return redirected


def _opener(direct: bool) -> urllib.request.OpenerDirector:
    # An explicit context: certificate and host name checks stay on whatever a process
    # did to ssl's module-wide default.
    handlers: list = [_SameOriginRedirects(), _HTTPHandler(), _HTTPSHandler(context=ssl.create_default_context())]
    if direct:
        handlers.append(urllib.request.ProxyHandler({}))
    return urllib.request.build_opener(*handlers)


# A loopback server must be reached directly even when a proxy is configured.
_direct_opener = _opener(direct=True)
_default_opener = _opener(direct=False)


def configured_server_url() -> str:
    url = get_user_settings().server_url
    if not url:
        raise ServerNotConfiguredError("No server is configured; log in to a server first")
    return url


def _is_loopback(host: Optional[str]) -> bool:
    if not host:
        return False
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _redact(text: str, secret: Optional[str]) -> str:
    return text.replace(secret, "***") if secret else text


def _error_detail(err: urllib.error.HTTPError) -> str:
    try:
        payload = json.loads(err.read().decode("utf-8"))
    except Exception:
        payload = None
    if isinstance(payload, dict) and payload.get("detail") is not None:
        detail = payload["detail"]
        return detail if isinstance(detail, str) else json.dumps(detail)
    return f"Server answered {err.code} {err.reason}"


def request(
    method: str,
    path: str,
    *,
    server_url: Optional[str] = None,
    body: Any = None,
    bearer: Optional[str] = None,
    timeout: float = DEFAULT_TIMEOUT,
) -> Any:
    """Send one JSON request and return the decoded JSON answer (None for an empty body)."""
    base = (server_url or configured_server_url()).rstrip("/")
    url = base + path
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ServerNotConfiguredError(f"Invalid server URL: {base!r}")
    if parts.scheme == "http" and not _is_loopback(parts.hostname):
        raise InsecureServerURLError(
            f"Refusing plain http to {parts.hostname}: credentials would travel unencrypted; use https")

    headers: Dict[str, str] = {"Accept": "application/json"}
    data = None
    if body is not None:
        data = json.dumps(body).encode("utf-8")
        headers["Content-Type"] = "application/json"
    if bearer:
        headers["Authorization"] = f"Bearer {bearer}"
    req = urllib.request.Request(url, data=data, method=method, headers=headers)
    opener = _direct_opener if _is_loopback(parts.hostname) else _default_opener

    # Log the request line only: headers carry the bearer token.
    logger.debug("%s %s", method, url)
    deadline = _Deadline(timeout)
    req.deadline = deadline  # type: ignore[attr-defined]
    with deadline:
        try:
            raw = _exchange(opener, req, timeout, base, bearer)
        except Exception:
            if deadline.expired:
                raise TimeoutError(f"Server {base} did not answer within {timeout:g} s") from None
            raise

    if not raw:
        return None
    try:
        return json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError):
        raise RemoteServerError(f"Server {base} sent an answer that is not JSON") from None


def _exchange(opener: urllib.request.OpenerDirector, req: urllib.request.Request, timeout: float, base: str,
              bearer: Optional[str]) -> bytes:
    """Sends req and reads the whole answer; errors as the module's docstring says."""
    method, url = req.get_method(), req.full_url
    try:
        with opener.open(req, timeout=timeout) as resp:
            return resp.read()
    except _CrossOriginRedirect as err:
        err.close()
        raise RemoteServerError(f"Server {base} answered {err.code} with a {err.msg}; not followed",
                                status=err.code) from None
    except urllib.error.HTTPError as err:
        detail = _redact(_error_detail(err), bearer)
        logger.debug("%s %s -> %s", method, url, err.code)
        raise RemoteServerError(detail, status=err.code) from None
    except urllib.error.URLError as err:
        reason = err.reason
        if isinstance(reason, (socket.timeout, TimeoutError)):
            raise TimeoutError(f"Server {base} did not answer within {timeout:g} s") from None
        if isinstance(reason, OSError):
            cls = type(reason) if isinstance(reason, ConnectionError) else ConnectionError
            raise cls(f"Cannot reach server {base}: {_redact(str(reason), bearer)}") from None
        raise ConnectionError(f"Cannot reach server {base}: {_redact(str(reason), bearer)}") from None
    except (socket.timeout, TimeoutError):
        raise TimeoutError(f"Server {base} did not answer within {timeout:g} s") from None
    except OSError as err:
        # e.g. the connection dropped while reading the answer
        cls = type(err) if isinstance(err, ConnectionError) else ConnectionError
        raise cls(f"Connection to server {base} failed: {_redact(str(err), bearer)}") from None
    except http.client.HTTPException:
        raise RemoteServerError(f"Server {base} sent a malformed answer") from None
