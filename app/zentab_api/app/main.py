"""The local API: the four native modules served over HTTP.

The modules' coroutine functions are the route handlers themselves: they carry real
signatures and resolvable annotations, so FastAPI reads their parameters and response models
from them. A small wrapper stands in only where HTTP wants another shape (a JSON body).
"""
import secrets
from enum import Enum
from typing import Callable, Dict, List, Optional, Type, Union

from fastapi import Depends, FastAPI, Request
from fastapi.exceptions import HTTPException
from fastapi.responses import PlainTextResponse
from fastapi.security import HTTPAuthorizationCredentials, HTTPBearer
from pydantic import BaseModel, ConfigDict, Field
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import HTTPConnection
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from zentab_api.app.exceptions import general_handler
from zentab_api.app.exceptions.admin import logs_handler
from zentab_api.app.exceptions.auth import general_handler as auth_general_handler
from zentab_api.app.exceptions.auth.local import keyfolio_handler
from zentab_api.app.exceptions.sync import tidewell_handler
from zentab_api.app.schemas.auth.local.keyfolio import APITokenCreateResponse
from zentab_api.app.schemas.sync.sync_status import SyncStatusErrors
from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell

TITLE = "zentab local API"
VERSION = "1"
# Host names a request may carry: anything else (a DNS-rebound name) is refused.
ALLOWED_HOSTS = ["127.0.0.1", "localhost"]

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


for _wrapper, _native in ((set_sync_status_error_viewed, tidewell.set_sync_status_error_viewed),
                          (report_tidewell, tidewell.report_tidewell),
                          (report_sync_item, parcelry.report_sync_item)):
    _wrapper.__doc__ = _native.__doc__


# -- routes -----------------------------------------------------------------------
def _add_routes(r: FastAPI) -> None:
    text = PlainTextResponse  # the problem reports are text for people
    sync: List[Union[str, Enum]] = ["tidewell"]
    r.get("/sync/status", tags=sync)(tidewell.get_sync_status)
    r.post("/sync/tidewell/start", tags=sync)(tidewell.start_tidewell)
    r.post("/sync/tidewell/stop", tags=sync)(tidewell.stop_tidewell)
    r.get("/sync/errors", tags=sync)(tidewell.get_sync_errors)
    r.patch("/sync/errors/{error_id}", tags=sync)(set_sync_status_error_viewed)
    r.post("/sync/errors/viewed", tags=sync)(tidewell.mark_all_sync_status_errors_viewed)
    r.get("/sync/tidewell/report", tags=sync, response_class=text)(tidewell.generate_tidewell_report)
    r.get("/sync/tidewell/error-report", tags=sync, response_class=text)(tidewell.get_tidewell_error_report)
    r.post("/sync/tidewell/report", tags=sync, status_code=204)(report_tidewell)

    items: List[Union[str, Enum]] = ["parcelry"]
    r.get("/sync/sources/{source_id}/items", tags=items)(parcelry.list_parcelry)
    r.get("/sync/items/{sync_item_id}", tags=items)(parcelry.get_sync_item)
    r.post("/sync/items/{sync_item_id}/reset", tags=items, status_code=204)(parcelry.reset_sync_item)
    r.post("/sync/items/{sync_item_id}/prioritize", tags=items, status_code=204)(parcelry.prioritize_sync_item)
    r.get("/sync/items/{sync_item_id}/report", tags=items, response_class=text)(parcelry.generate_sync_item_report)
    r.get("/sync/items/{sync_item_id}/error-report", tags=items,
          response_class=text)(parcelry.get_sync_item_error_report)
    r.post("/sync/items/{sync_item_id}/report", tags=items, status_code=204)(report_sync_item)

    tokens: List[Union[str, Enum]] = ["keyfolio"]
    r.post("/auth/local/tokens", tags=tokens, status_code=201)(create_api_token)
    r.get("/auth/local/tokens", tags=tokens)(keyfolio.list_keyfolio)
    r.delete("/auth/local/tokens/{api_key_uid}", tags=tokens, status_code=204)(keyfolio.delete_api_token)
    r.get("/auth/local/tokens/{api_key_uid}/check", tags=tokens)(keyfolio.check_api_token)

    # A plain function: FastAPI runs it in its thread pool, off the event loop.
    admin: List[Union[str, Enum]] = ["logs"]
    r.get("/admin/logs/{service}", tags=admin)(logs.get_recent_log_lines)


class KeyCheck(HTTPBearer):
    """The bearer scheme as the OpenAPI document describes it, and the check of the key.

    One dependency rather than a check depending on the scheme: FastAPI resolves every
    dependency level anew for each request.
    """

    async def __call__(self, request: HTTPConnection) -> None:
        credentials: Optional[HTTPAuthorizationCredentials] = await super().__call__(request)
        expected: str = request.app.state.api_key
        given = credentials.credentials if credentials is not None else ""
        if not secrets.compare_digest(given.encode(), expected.encode()):
            raise HTTPException(401, "Missing or wrong API key", headers={"WWW-Authenticate": "Bearer"})


require_key = KeyCheck(scheme_name="HTTPBearer", auto_error=False,
                       description="The key in the API's address file (api_address.json)")


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
    handlers: Dict[Type[BaseException], Callable[..., object]] = {}
    for module in HANDLER_MODULES:
        handlers.update(module.EXCEPTION_HANDLERS)  # type: ignore[attr-defined]
    return handlers


def create_app(api_key: str) -> FastAPI:
    """The application; every route but the OpenAPI pages asks for api_key as a bearer token."""
    if not api_key:
        raise ValueError("the local API needs a key")
    app = FastAPI(title=TITLE, version=VERSION, dependencies=[Depends(require_key)],
                  exception_handlers=exception_handlers(),  # type: ignore[arg-type]
                  # Operation ids are the module functions' names.
                  generate_unique_id_function=lambda route: route.name)
    app.state.api_key = api_key
    _add_routes(app)
    app.add_middleware(AnswerUnexpectedErrors)
    app.add_middleware(TrustedHostMiddleware, allowed_hosts=ALLOWED_HOSTS)
    return app
