"""The local API: the four native modules served over HTTP.

The modules' coroutine functions are the route handlers themselves: they carry real
signatures and resolvable annotations, so FastAPI reads their parameters and response models
from them. A small wrapper stands in only where HTTP wants another shape (a JSON body).
"""
import json
import math
import re
from urllib.parse import parse_qsl
from enum import Enum
from typing import Any, Callable, Coroutine, Dict, List, Optional, Type, Union

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, PlainTextResponse
from fastapi.routing import APIRoute
from pydantic import BaseModel, ConfigDict, Field
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException as StarletteHTTPException
from starlette.responses import Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from zentab_api.app import docs, openapi
from zentab_api.app.exceptions import general_handler
from zentab_api.app.exceptions.admin import logs_handler
from zentab_api.app.exceptions.auth import general_handler as auth_general_handler
from zentab_api.app.exceptions.auth.local import keyfolio_handler
from zentab_api.app.exceptions.sync import tidewell_handler
from zentab_api.app.guard import RequestGuard
from zentab_api.app.schemas.auth.local.keyfolio import APITokenCreateResponse
from zentab_api.app.schemas.sync.sync_status import SyncStatusErrors
from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell

TITLE = "zentab local API"
VERSION = "1"

HANDLER_MODULES = (general_handler, auth_general_handler, keyfolio_handler, tidewell_handler, logs_handler)


# -- request bodies ------------------------------------------------------------
class _Body(BaseModel):
    model_config = ConfigDict(extra="forbid")


class ViewedUpdate(_Body):
    viewed: bool


class ReportMessage(_Body):
    message: str = Field(max_length=10_000)


class TokenCreate(_Body):
    name: Optional[str] = Field(default=None, max_length=200)


# -- the wrappers where HTTP needs a body ----------------------------------------
async def set_sync_status_error_viewed(error_id: int, body: ViewedUpdate) -> SyncStatusErrors:
    return await tidewell.set_sync_status_error_viewed(error_id, body.viewed)


async def report_tidewell(body: ReportMessage) -> None:
    await tidewell.report_tidewell(body.message)


async def report_sync_item(sync_item_id: int, body: ReportMessage) -> None:
    await parcelry.report_sync_item(sync_item_id, body.message)


async def create_api_token(body: Optional[TokenCreate] = None) -> APITokenCreateResponse:
    """Creates the logged-in user's token; the secret is in this answer and nowhere else."""
    return await keyfolio.create_api_token(body.name if body is not None else None)


# The tail of a log up to this many records is read on the event loop: the native reader takes
# well under a millisecond for it, less than the hand-over to a worker thread and back, whose
# waits for the interpreter lock behind a busy loop made this the slowest endpoint under load.
INLINE_LOG_RECORDS = 1000


async def get_recent_log_lines(service: logs.LogService, n: int) -> List[str]:
    if 0 <= n <= INLINE_LOG_RECORDS:
        return logs.get_recent_log_lines(service, n)
    return await run_in_threadpool(logs.get_recent_log_lines, service, n)  # the whole log: 20 MiB


for _wrapper, _native in ((set_sync_status_error_viewed, tidewell.set_sync_status_error_viewed),
                          (get_recent_log_lines, logs.get_recent_log_lines),
                          (report_tidewell, tidewell.report_tidewell),
                          (report_sync_item, parcelry.report_sync_item)):
    _wrapper.__doc__ = _native.__doc__


# -- bodies: standard JSON only ----------------------------------------------------
def _not_json(what: str) -> json.JSONDecodeError:
    return json.JSONDecodeError(what, "", 0)


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _not_json(f"{text} is too large for a number")
    return value


def _constant(name: str) -> Any:
    raise _not_json(f"{name} is not JSON")


def _check_text(value: Any) -> None:
    """Refuses a string (or key) that is no Unicode text: a lone surrogate written as an escape."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise _not_json("a string holds a lone surrogate escape, which is not text") from None
    elif isinstance(value, dict):
        for key, item in value.items():
            _check_text(key)
            _check_text(item)
    elif isinstance(value, list):
        for item in value:
            _check_text(item)


class JSONBodyRequest(Request):
    """Reads a body as standard JSON: no NaN or Infinity, no number beyond a float, no
    lone surrogates (Python's json module takes all three, and nothing here could echo them)."""

    async def json(self) -> Any:
        if not hasattr(self, "_json"):
            value = json.loads(await self.body(), parse_constant=_constant, parse_float=_finite)
            _check_text(value)
            self._json = value
        return self._json


class JSONBodyRoute(APIRoute):
    def get_route_handler(self) -> Callable[[Request], Coroutine[Any, Any, Response]]:
        handle = super().get_route_handler()

        async def handle_json_body(request: Request) -> Response:
            return await handle(JSONBodyRequest(request.scope, request.receive))

        return handle_json_body


class AsciiJSONResponse(JSONResponse):
    """JSON with every non-ASCII character escaped: a stored string that is not valid Unicode
    (a token name with a lone surrogate, accepted by the Python call) still renders."""

    def render(self, content: Any) -> bytes:
        return json.dumps(content, allow_nan=False, separators=(",", ":")).encode("ascii")


# -- routes -----------------------------------------------------------------------
def _add_routes(r: FastAPI) -> None:
    text = PlainTextResponse  # the problem reports are text for people

    def with_body(method: str, path: str, endpoint: Callable[..., Any], **options: Any) -> None:
        r.router.add_api_route(path, endpoint, methods=[method], route_class_override=JSONBodyRoute, **options)

    sync: List[Union[str, Enum]] = ["tidewell"]
    r.get("/sync/status", tags=sync)(tidewell.get_sync_status)
    r.post("/sync/tidewell/start", tags=sync)(tidewell.start_tidewell)
    r.post("/sync/tidewell/stop", tags=sync)(tidewell.stop_tidewell)
    r.get("/sync/errors", tags=sync)(tidewell.get_sync_errors)
    # Digits only: /sync/errors/viewed is another resource, not an error id to refuse.
    with_body("PATCH", "/sync/errors/{error_id:int}", set_sync_status_error_viewed, tags=sync)
    r.post("/sync/errors/viewed", tags=sync)(tidewell.mark_all_sync_status_errors_viewed)
    r.get("/sync/tidewell/report", tags=sync, response_class=text)(tidewell.generate_tidewell_report)
    r.get("/sync/tidewell/error-report", tags=sync, response_class=text)(tidewell.get_tidewell_error_report)
    with_body("POST", "/sync/tidewell/report", report_tidewell, tags=sync, status_code=204)

    items: List[Union[str, Enum]] = ["parcelry"]
    r.get("/sync/sources/{source_id}/items", tags=items)(parcelry.list_parcelry)
    r.get("/sync/items/{sync_item_id}", tags=items)(parcelry.get_sync_item)
    r.post("/sync/items/{sync_item_id}/reset", tags=items, status_code=204)(parcelry.reset_sync_item)
    r.post("/sync/items/{sync_item_id}/prioritize", tags=items, status_code=204)(parcelry.prioritize_sync_item)
    r.get("/sync/items/{sync_item_id}/report", tags=items, response_class=text)(parcelry.generate_sync_item_report)
    r.get("/sync/items/{sync_item_id}/error-report", tags=items,
          response_class=text)(parcelry.get_sync_item_error_report)
    with_body("POST", "/sync/items/{sync_item_id}/report", report_sync_item, tags=items, status_code=204)

    # Token names come from outside (a server, the Python call): rendered ASCII-safe.
    tokens: List[Union[str, Enum]] = ["keyfolio"]
    with_body("POST", "/auth/local/tokens", create_api_token, tags=tokens, status_code=201,
              response_class=AsciiJSONResponse)
    r.get("/auth/local/tokens", tags=tokens, response_class=AsciiJSONResponse)(keyfolio.list_keyfolio)
    r.delete("/auth/local/tokens/{api_key_uid}", tags=tokens, status_code=204)(keyfolio.delete_api_token)
    r.get("/auth/local/tokens/{api_key_uid}/check", tags=tokens)(keyfolio.check_api_token)

    admin: List[Union[str, Enum]] = ["logs"]
    r.get("/admin/logs/{service}", tags=admin)(get_recent_log_lines)


class StrictIntegers:
    """An integer in a path or query is ASCII digits with an optional minus, nothing else.

    The framework parses integers as Python's int() does, which skips surrounding whitespace,
    Unicode's included ("\x859" is 9): a client validating against the document would see
    text it must refuse accepted. Such values answer 422 as any other invalid integer.
    """

    INTEGER = re.compile(r"-?[0-9]+")
    MESSAGE = "Input should be a valid integer, unable to parse string as an integer"

    def __init__(self, app: ASGIApp, routes: List[Any]) -> None:
        self.app = app
        self.checks = []  # (path pattern, int path parameters, int query parameters)
        for route in routes:
            if isinstance(route, APIRoute):
                path = tuple(p.name for p in route.dependant.path_params if p.field_info.annotation is int)
                query = frozenset(p.name for p in route.dependant.query_params if p.field_info.annotation is int)
                if path or query:
                    self.checks.append((route.path_regex, path, query))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and (where := self._refused(scope)):
            await general_handler.error_response(422, f"{where}: {self.MESSAGE}", "RequestValidationError")(
                scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _refused(self, scope: Scope) -> Optional[str]:
        for pattern, path, query in self.checks:
            match = pattern.match(scope["path"])
            if not match:
                continue
            for name in path:
                if not self.INTEGER.fullmatch(match.group(name)):
                    return f"path.{name}"
            if query:
                for name, value in parse_qsl(scope["query_string"].decode("latin-1"), keep_blank_values=True):
                    if name in query and not self.INTEGER.fullmatch(value):
                        return f"query.{name}"
            return None
        return None


class AnswerUnexpectedErrors:
    """Turns an error no handler maps into the fixed 500 answer, and logs its traceback.

    Starlette's last-resort handler answers too but then re-raises, and uvicorn closes the
    connection: a client's next request on that keep-alive connection would fail. Here the
    request ends normally; only an error after the answer has started still goes up.
    """

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = False

        async def tracking_send(message: Message) -> None:
            nonlocal started
            started = started or message["type"] == "http.response.start"
            await send(message)

        try:
            await self.app(scope, receive, tracking_send)
        except Exception as exc:
            if started:
                raise
            request = Request(scope)
            general_handler.logger.error("%s %s failed", request.method, request.url.path, exc_info=exc)
            response = await general_handler.unexpected_error_handler(request, exc)
            await response(scope, receive, send)


def exception_handlers() -> Dict[Type[BaseException], Callable[..., object]]:
    handlers: Dict[Type[BaseException], Callable[..., object]] = {
        StarletteHTTPException: general_handler.http_error_handler,
        RequestValidationError: general_handler.validation_error_handler,
    }
    for module in HANDLER_MODULES:
        handlers.update(module.EXCEPTION_HANDLERS)  # type: ignore[attr-defined]
    return handlers


def create_app(api_key: str) -> FastAPI:
    """The application; every route but the documentation page and the OpenAPI document asks
    for api_key as a bearer token."""
    if not api_key:
        raise ValueError("the local API needs a key")
    app = FastAPI(title=TITLE, version=VERSION, docs_url=None, redoc_url=None,
                  exception_handlers=exception_handlers(),  # type: ignore[arg-type]
                  # Operation ids are the module functions' names.
                  generate_unique_id_function=lambda route: route.name)
    _add_routes(app)
    docs.add_docs(app)
    openapi.install(app)
    app.add_middleware(StrictIntegers, routes=list(app.routes))
    app.add_middleware(AnswerUnexpectedErrors)
    # Outermost: the head is checked before anything else runs or any body is read.
    app.add_middleware(RequestGuard, api_key=api_key, open_paths=docs.OPEN_PATHS)
    return app
