"""A small in-process stand-in for the remote zentab server: JSON over HTTP on loopback."""
from __future__ import annotations

import json
import logging
import secrets
import threading
import uuid
from urllib.parse import unquote
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, Optional, Tuple

logger = logging.getLogger("zentab_server")

HOST = "127.0.0.1"
LOOPBACK_NAMES = frozenset({"127.0.0.1", "localhost", "::1"})

BUG_REPORTS_PATH = "/api/v3/bug-reports"
TOKENS_PATH = "/api/v1/tokens"
TOKEN_CHECK_PATH = "/api/v1/tokens/check"
LOGIN_PATH = "/api/v1/login"

# Request bodies are tiny; refuse anything that is clearly not ours.
MAX_BODY_BYTES = 1024 * 1024


class _HTTPError(Exception):
    def __init__(self, status: int, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


class _State:
    """Everything the server remembers; shared by all handler threads."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.bug_reports: List[Dict[str, str]] = []
        self.tokens: Dict[str, Dict[str, Any]] = {}
        self.pending_failures: List[Tuple[int, str]] = []
        # login credential -> user subject, as the identity provider would vouch for it
        self.logins: Dict[str, str] = {}
        # user subject -> password, for logins over HTTP (accounts made with add_user)
        self.accounts: Dict[str, str] = {}
        self.on_token_created: Optional[Callable[[Dict[str, Any]], None]] = None


class _Handler(BaseHTTPRequestHandler):
    server: "_HTTPServer"
    _body: bytes
    server_version = "zentab-server-standin/1"

    # -- logging: the request line may be fine, headers never are (bearer tokens)
    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - stdlib signature
        logger.debug("%s %s", getattr(self, "command", "?"), getattr(self, "path", "?"))

    def log_request(self, code: Any = "-", size: Any = "-") -> None:
        logger.debug("%s %s -> %s", self.command, self.path, code)

    # -- plumbing
    def _send_json(self, status: int, payload: Any) -> None:
        body = b"" if payload is None else json.dumps(payload).encode("utf-8")
        self.send_response(status)
        if payload is not None:
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def _drain_body(self) -> bytes:
        # Always consume the body: closing with unread bytes makes the kernel send RST,
        # and the client may then lose our (error) response.
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise _HTTPError(HTTPStatus.BAD_REQUEST, "Invalid Content-Length") from None
        if length < 0 or length > MAX_BODY_BYTES:
            raise _HTTPError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Request body too large")
        return self.rfile.read(length) if length else b""

    def _read_json(self) -> Any:
        if not self._body:
            raise _HTTPError(HTTPStatus.BAD_REQUEST, "Request body required")
        try:
            return json.loads(self._body.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise _HTTPError(HTTPStatus.BAD_REQUEST, "Request body is not valid JSON") from None

    def _bearer_token(self) -> Optional[str]:
        header = self.headers.get("Authorization") or ""
        scheme, _, value = header.partition(" ")
        if scheme.lower() != "bearer" or not value.strip():
            return None
        return value.strip()

    def _login_user(self) -> Optional[str]:
        """The subject whose login credential is presented as bearer, or None."""
        presented = self._bearer_token()
        if presented is None:
            return None
        with self.server.state.lock:
            for credential, user_sub in self.server.state.logins.items():
                if secrets.compare_digest(credential, presented):
                    return user_sub
        return None

    def _token_by_secret(self) -> Optional[Dict[str, Any]]:
        presented = self._bearer_token()
        if presented is not None:
            with self.server.state.lock:
                for record in self.server.state.tokens.values():
                    if not record["revoked"] and secrets.compare_digest(record["api_token"], presented):
                        return record
        return None

    def _check_host(self) -> None:
        # Only loopback names: a page whose DNS name is rebound to 127.0.0.1 must not reach us.
        host = (self.headers.get("Host") or "").strip().lower()
        if host.startswith("["):
            name = host[1:].split("]", 1)[0]
        else:
            name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
        if name not in LOOPBACK_NAMES:
            raise _HTTPError(HTTPStatus.MISDIRECTED_REQUEST, "Host not served here")

    def _dispatch(self) -> None:
        state = self.server.state
        path = self.path.split("?", 1)[0].rstrip("/") or "/"
        self._body = b""
        try:
            self._body = self._drain_body()
            self._check_host()
            with state.lock:
                failure = state.pending_failures.pop(0) if state.pending_failures else None
            if failure is not None:
                raise _HTTPError(*failure)
            status, payload = self._route(self.command, path)
        except _HTTPError as exc:
            status, payload = exc.status, {"detail": exc.detail}
        except Exception:  # a stand-in bug must still answer, not hang the client
            logger.exception("unhandled error serving %s %s", self.command, path)
            status, payload = HTTPStatus.INTERNAL_SERVER_ERROR, {"detail": "Internal server error"}
        self._send_json(int(status), payload)

    do_GET = do_POST = do_DELETE = do_PUT = do_PATCH = _dispatch

    # -- endpoints
    def _route(self, method: str, path: str) -> Tuple[int, Any]:
        state = self.server.state
        if path == BUG_REPORTS_PATH:
            if method == "POST":
                return self._create_bug_report(state)
            if method == "GET":
                # Reports are private to whoever sent them.
                user_sub = self._login_user()
                if user_sub is None:
                    raise _HTTPError(HTTPStatus.UNAUTHORIZED, "Login required")
                with state.lock:
                    return HTTPStatus.OK, [{"subject": r["subject"], "description": r["description"]}
                                           for r in state.bug_reports if r.get("reporter") == user_sub]
            raise _HTTPError(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")
        if path == LOGIN_PATH:
            if method != "POST":
                raise _HTTPError(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")
            return self._log_in(state)
        if path == TOKEN_CHECK_PATH:
            if method != "POST":
                raise _HTTPError(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")
            return self._check_token(state)
        if path == TOKENS_PATH:
            if method != "POST":
                raise _HTTPError(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")
            return self._create_token(state)
        if path.startswith(TOKENS_PATH + "/"):
            raw_uid = path[len(TOKENS_PATH) + 1:]
            if method != "DELETE" or "/" in raw_uid:
                raise _HTTPError(HTTPStatus.METHOD_NOT_ALLOWED, "Method not allowed")
            return self._delete_token(state, unquote(raw_uid))
        raise _HTTPError(HTTPStatus.NOT_FOUND, "Not found")

    def _create_bug_report(self, state: _State) -> Tuple[int, Any]:
        body = self._read_json()
        if not isinstance(body, dict):
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "Expected a JSON object")
        subject, description = body.get("subject"), body.get("description")
        if not isinstance(subject, str) or not isinstance(description, str):
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "subject and description must be strings")
        if not subject.strip():
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "subject must not be empty")
        # Anonymous reports are accepted (a crash before login must still reach us).
        reporter = self._login_user()
        with state.lock:
            state.bug_reports.append({"subject": subject, "description": description, "reporter": reporter})
            number = len(state.bug_reports)
        return HTTPStatus.CREATED, {"id": number}

    def _log_in(self, state: _State) -> Tuple[int, Any]:
        body = self._read_json()
        if not isinstance(body, dict):
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "Expected a JSON object")
        username, password = body.get("username"), body.get("password")
        if not isinstance(username, str) or not isinstance(password, str):
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "username and password must be strings")
        with state.lock:
            expected = state.accounts.get(username)
        # An unknown user answers like a wrong password: which accounts exist is not disclosed.
        if not secrets.compare_digest((expected or "").encode(), password.encode()) or expected is None:
            raise _HTTPError(HTTPStatus.UNAUTHORIZED, "Invalid user name or password")
        credential = secrets.token_urlsafe(32)
        with state.lock:
            state.logins[credential] = username
        return HTTPStatus.OK, {"user_sub": username, "access_token": credential}

    def _create_token(self, state: _State) -> Tuple[int, Any]:
        owner = self._login_user()
        if owner is None:
            raise _HTTPError(HTTPStatus.UNAUTHORIZED, "Login required to create a token")
        body = self._read_json()
        name = body.get("name") if isinstance(body, dict) else None
        if not isinstance(name, str) or not name.strip():
            raise _HTTPError(HTTPStatus.UNPROCESSABLE_ENTITY, "name must be a non-empty string")
        uid = uuid.uuid4().hex
        record: Dict[str, Any] = {
            "uid": uid,
            "name": name,
            "api_token": secrets.token_urlsafe(32),
            "revoked": False,
            "owner": owner,
        }
        with state.lock:
            state.tokens[uid] = record
            hook = state.on_token_created
        if hook is not None:
            hook(dict(record))
        return HTTPStatus.CREATED, {k: record[k] for k in ("uid", "name", "api_token")}

    def _delete_token(self, state: _State, uid: str) -> Tuple[int, Any]:
        # The owner's login, or the token itself (revoked ones included: deleting is allowed).
        caller = self._login_user()
        presented = self._bearer_token()
        with state.lock:
            record = state.tokens.get(uid)
            if caller is None and presented is not None:
                if record is not None and secrets.compare_digest(record["api_token"], presented):
                    caller = record["owner"]
            if caller is None:
                raise _HTTPError(HTTPStatus.UNAUTHORIZED, "Login or the token itself required")
            # Another user's token answers like an unknown one: its existence is not disclosed.
            if record is None or record["owner"] != caller:
                raise _HTTPError(HTTPStatus.NOT_FOUND, f"Token {uid} not found")
            del state.tokens[uid]
        return HTTPStatus.NO_CONTENT, None

    def _check_token(self, state: _State) -> Tuple[int, Any]:
        if self._token_by_secret() is not None:
            return HTTPStatus.OK, {"valid": True}
        raise _HTTPError(HTTPStatus.UNAUTHORIZED, "Invalid or revoked token")


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port: int, state: _State) -> None:
        self.state = state
        super().__init__((HOST, port), _Handler)


class RemoteServer:
    """A running stand-in server; state is readable for tests."""

    def __init__(self, port: int = 0) -> None:
        self._state = _State()
        self._httpd = _HTTPServer(port, self._state)
        self.port: int = self._httpd.server_address[1]
        self.url = f"http://{HOST}:{self.port}"
        self._stop_lock = threading.Lock()
        self._stopped = False
        self._thread = threading.Thread(
            # A short poll interval keeps stop() quick.
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, name=f"zentab-server-{self.port}", daemon=True
        )
        self._thread.start()

    @property
    def bug_reports(self) -> List[Dict[str, str]]:
        with self._state.lock:
            return [{"subject": r["subject"], "description": r["description"]} for r in self._state.bug_reports]

    def issue_login(self, user_sub: str) -> str:
        """A login credential for `user_sub`, as the identity provider hands one out at login."""
        credential = secrets.token_urlsafe(32)
        with self._state.lock:
            self._state.logins[credential] = user_sub
        return credential

    def add_user(self, user_sub: str, password: Optional[str] = None) -> str:
        """An account that can log in over HTTP (POST /api/v1/login); returns its password.

        Without a password a random one is made: the stand-in listens on a port every local
        user can reach, so a guessable one would let them act as this user.
        """
        if not user_sub or not user_sub.strip():
            raise ValueError("user_sub must not be empty")
        if password is None:
            password = secrets.token_urlsafe(16)
        elif not password:
            raise ValueError("password must not be empty")
        with self._state.lock:
            self._state.accounts[user_sub] = password
        return password

    def on_token_created(self, hook: Optional[Callable[[Dict[str, Any]], None]]) -> None:
        """Calls hook(record) in the server thread after a token is issued, before the answer (tests)."""
        with self._state.lock:
            self._state.on_token_created = hook

    @property
    def tokens(self) -> Dict[str, Dict[str, Any]]:
        with self._state.lock:
            return {uid: dict(r) for uid, r in self._state.tokens.items()}

    def revoke(self, uid: str) -> None:
        """Revoke a token server-side, without the client knowing."""
        with self._state.lock:
            try:
                self._state.tokens[uid]["revoked"] = True
            except KeyError:
                raise KeyError(f"Token {uid} not found") from None

    def fail_next(self, status: int = 500, detail: str = "Internal server error") -> None:
        """Answer the next request (whatever it is) with this error status and detail."""
        if not 400 <= status <= 599:
            raise ValueError("status must be an HTTP error status (400-599)")
        with self._state.lock:
            self._state.pending_failures.append((status, detail))

    @property
    def running(self) -> bool:
        return not self._stopped

    def stop(self) -> None:
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> "RemoteServer":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "stopped" if self._stopped else "running"
        return f"<RemoteServer {self.url} {state}>"


def start_server(port: int = 0) -> RemoteServer:
    """Start a stand-in server on 127.0.0.1 (port 0 picks a free one) in a daemon thread."""
    return RemoteServer(port)
