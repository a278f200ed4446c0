"""Errors about the remote server, shared by all endpoints, and the common error shape.

The *_handler modules pair each error type with the HTTP answer the local API gives for it
(their EXCEPTION_HANDLERS); zentab_api.app.main installs them. Every error answer is JSON
{"detail": <message>, "error": <error type name>}. The web framework is imported only when an
answer is built: the native modules import these error types and should not pay for it.
"""
import json
import logging
import re
from typing import TYPE_CHECKING, Any, Callable, Dict, Mapping, Optional, Sequence, Type

from zentab_client.exceptions import NotLoggedInError, RemoteServerError, ServerNotConfiguredError

if TYPE_CHECKING:
    from fastapi.exceptions import RequestValidationError
    from starlette.exceptions import HTTPException
    from starlette.requests import Request
    from starlette.responses import JSONResponse

logger = logging.getLogger("zentab_api.app")

INTERNAL_ERROR_MESSAGE = "Internal server error"


class LocalAPIError(Exception):
    """One human-readable message, also kept as `.message`."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ServerUnreachableError(LocalAPIError):
    """The remote server could not be reached."""


class ServerOperationError(LocalAPIError):
    """The remote server was reached but the operation failed."""


# The "error" of answers the HTTP layer gives itself, by status.
HTTP_ERROR_NAMES = {400: "BadRequest", 401: "Unauthorized", 404: "NotFound", 405: "MethodNotAllowed",
                    413: "RequestTooLarge", 422: "RequestValidationError", 431: "RequestHeaderFieldsTooLarge"}


def error_response(status_code: int, detail: str, error: str,
                   headers: Optional[Mapping[str, str]] = None) -> "JSONResponse":
    """The one error shape. ASCII-escaped JSON: a message quoting text that is not valid
    Unicode (a lone surrogate) still renders."""
    from starlette.responses import Response

    body = json.dumps({"detail": detail, "error": error}).encode("ascii")
    return Response(body, status_code=status_code, headers=headers, media_type="application/json")  # type: ignore[return-value]


def message_of(exc: BaseException) -> str:
    message = getattr(exc, "message", None)
    return message if isinstance(message, str) else str(exc)


def status_handler(status_code: int, detail: Optional[str] = None) -> Callable[..., object]:
    """A handler answering status_code with the error's own message (or a fixed detail)."""

    async def handler(request: "Request", exc: Exception) -> "JSONResponse":
        if status_code >= 500:
            logger.warning("%s %s -> %d %s: %s", request.method, request.url.path, status_code,
                           type(exc).__name__, message_of(exc))
        return error_response(status_code, detail if detail is not None else message_of(exc), type(exc).__name__)

    handler.__name__ = f"status_{status_code}_handler"
    return handler


async def unexpected_error_handler(request: "Request", exc: Exception) -> "JSONResponse":
    """Anything not mapped: a fixed message; the traceback goes to the log, never to the client."""
    return error_response(500, INTERNAL_ERROR_MESSAGE, "InternalServerError")


# What the native modules say when they refuse an argument at the call (binding or type).
_REFUSAL = re.compile(r"Argument '\w+' has incorrect type|\w+\(\) (takes |got |keywords must)")


def _raised_at_native_call(exc: BaseException) -> bool:
    tb = exc.__traceback__
    while tb is not None and tb.tb_next is not None:
        tb = tb.tb_next
    return tb is not None and tb.tb_frame.f_code.co_filename.endswith(".cpp")


async def type_error_handler(request: "Request", exc: TypeError) -> "JSONResponse":
    """422 for an argument a module function refused; any other TypeError is a fault of ours."""
    if _raised_at_native_call(exc) and _REFUSAL.match(str(exc)):
        return error_response(422, str(exc), "TypeError")
    logger.error("%s %s failed", request.method, request.url.path, exc_info=exc)
    return await unexpected_error_handler(request, exc)


async def http_error_handler(request: "Request", exc: "HTTPException") -> "JSONResponse":
    """The framework's own refusals (no such path, a method the path does not take, a body
    that cannot be read) in the one error shape."""
    headers = dict(exc.headers or {})
    if exc.status_code == 405:
        headers["Allow"] = ", ".join(_allowed_methods(request))
    detail = exc.detail if isinstance(exc.detail, str) else str(exc.detail)
    name = HTTP_ERROR_NAMES.get(exc.status_code, "HTTPError")
    return error_response(exc.status_code, detail, name, headers)


def _allowed_methods(request: "Request") -> Sequence[str]:
    # Starlette lists the methods of the first route that matches the path only; a path can
    # have several (GET and POST of a report are two routes).
    from starlette.routing import Match

    methods = set()
    for route in request.app.routes:
        match, _ = route.matches({**request.scope, "method": ""})
        if match is not Match.NONE:
            methods.update(getattr(route, "methods", None) or ())
    return sorted(methods)


def _validation_detail(errors: Sequence[Any]) -> str:
    """Where and what, without the input (which may be anything, and is the client's own)."""
    parts = []
    for error in errors[:10]:
        where = ".".join(str(part)[:64] for part in error.get("loc", ()))
        what = str(error.get("msg", "invalid"))
        context = error.get("ctx") or {}
        if error.get("type") == "json_invalid" and isinstance(context.get("error"), str):
            what = f"{what}: {context['error']}"
        parts.append(f"{where}: {what}" if where else what)
    return "; ".join(parts)


async def validation_error_handler(request: "Request", exc: "RequestValidationError") -> "JSONResponse":
    return error_response(422, _validation_detail(exc.errors()), "RequestValidationError")


EXCEPTION_HANDLERS: Dict[Type[BaseException], Callable[..., object]] = {
    ServerUnreachableError: status_handler(503),
    ServerOperationError: status_handler(502),
    # The client library's own errors reach us unchanged from the problem-report calls.
    ServerNotConfiguredError: status_handler(409),
    NotLoggedInError: status_handler(409),
    RemoteServerError: status_handler(502),
    # Unreachable is ConnectionError; its text may name addresses, so the answer is fixed.
    ConnectionError: status_handler(503, "Cannot reach the server."),
    TimeoutError: status_handler(504, "The server did not answer in time."),
    TypeError: type_error_handler,
    # An integer the store cannot hold (SQLite keeps 64 bits): the request's fault.
    OverflowError: status_handler(422, "A number in the request is out of range."),
    Exception: unexpected_error_handler,
}
