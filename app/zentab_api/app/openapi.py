"""The OpenAPI document as the service really answers.

FastAPI documents each operation's success and a validation error shape the service does not
use. Here every operation also lists each error status it can answer, all with the one error
shape (`ErrorAnswer`); integers carry the 64-bit bounds the store enforces (beyond them: 422);
and the bearer key, which a middleware checks before routing, is declared on every operation.
"""
from typing import Any, Dict, Iterable, Optional, Tuple

from fastapi import FastAPI
from fastapi.openapi.utils import get_openapi

from zentab_api.app.guard import MAX_BODY_BYTES
from zentab_api.protocol import MAX_HEAD_BYTES

INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1
SCHEME = "HTTPBearer"
# Counts whose negative values mean "none" or "all" (however negative): bounded above only.
COUNTS = frozenset({"limit", "skip", "offset", "n"})

ERROR_SCHEMA = {
    "title": "ErrorAnswer",
    "type": "object",
    "properties": {
        "detail": {"type": "string", "title": "Detail", "description": "What went wrong, for people"},
        "error": {"type": "string", "title": "Error", "description": "The error's type name"},
    },
    "required": ["detail", "error"],
}

# Why each error status is answered, as the document says it.
REASONS = {
    400: "A host name other than 127.0.0.1 or localhost, or a request or body that cannot be read",
    401: "Missing or wrong API key (the key is in api_address.json)",
    404: "No such item, source, error entry, token or log file",
    409: "The agent is already running or stopped, the user already has a token, "
         "nobody is logged in or no server is configured",
    413: f"The body exceeds {MAX_BODY_BYTES} bytes",
    422: "A parameter or body the service refuses, or a number beyond 64 bits",
    431: f"The request line and headers exceed {MAX_HEAD_BYTES} bytes",
    500: "An unexpected fault (logged; the answer's message is fixed)",
    502: "The remote server failed the operation",
    503: "The remote server cannot be reached, the agent is not installed or could not be started, "
         "or the sync store stayed busy",
    504: "The remote server did not answer in time",
}

EVERY = (400, 401, 431, 500)
STORE = (503,)
BODY = (413, 422)
REMOTE = (409, 502, 503, 504)

# operation id -> the statuses it can answer beyond EVERY and its success.
ERRORS: Dict[str, Tuple[int, ...]] = {
    "get_sync_status": STORE,
    "start_tidewell": (409, 503),
    "stop_tidewell": (409, 503),
    "get_sync_errors": (422,) + STORE,
    "set_sync_status_error_viewed": (404,) + BODY + STORE,
    "mark_all_sync_status_errors_viewed": STORE,
    "generate_tidewell_report": (422,) + STORE,
    "get_tidewell_error_report": (422,) + STORE,
    "report_tidewell": BODY + REMOTE,
    "list_parcelry": (404, 422) + STORE,
    "get_sync_item": (404, 422) + STORE,
    "reset_sync_item": (404, 422) + STORE,
    "prioritize_sync_item": (404, 422) + STORE,
    "generate_sync_item_report": (404, 422) + STORE,
    "get_sync_item_error_report": (404, 422) + STORE,
    "report_sync_item": (404,) + BODY + REMOTE,
    "create_api_token": BODY + (409, 502, 503),
    "list_keyfolio": (),
    "delete_api_token": (404, 502, 503),
    "check_api_token": (404, 503),
    "get_recent_log_lines": (404, 422),
}


def _operations(document: Dict[str, Any]) -> Iterable[Dict[str, Any]]:
    for path_item in document["paths"].values():
        yield from path_item.values()


def _bound_integers(schema: Dict[str, Any], minimum: Optional[int]) -> None:
    if schema.get("type") == "integer":
        schema["maximum"] = INT64_MAX
        if minimum is not None:
            schema["minimum"] = minimum
            if minimum == INT64_MIN:
                schema["format"] = "int64"  # which also says the minimum
    for branch in schema.get("anyOf", ()):
        _bound_integers(branch, minimum)


def build(app: FastAPI) -> Dict[str, Any]:
    document = get_openapi(title=app.title, version=app.version, routes=app.routes,
                           description="The local API of zentab. Every operation asks for the key in "
                                       "api_address.json as `Authorization: Bearer <key>`.")
    components = document.setdefault("components", {})
    schemas = components.setdefault("schemas", {})
    for unused in ("HTTPValidationError", "ValidationError"):
        schemas.pop(unused, None)
    schemas["ErrorAnswer"] = ERROR_SCHEMA
    components["securitySchemes"] = {SCHEME: {"type": "http", "scheme": "bearer",
                                              "description": "The key in the API's address file (api_address.json)"}}
    error = {"application/json": {"schema": {"$ref": "#/components/schemas/ErrorAnswer"}}}
    for operation in _operations(document):
        operation["security"] = [{SCHEME: []}]
        responses = operation["responses"]
        responses.pop("422", None)
        for status in sorted(EVERY + ERRORS[operation["operationId"]]):
            responses[str(status)] = {"description": REASONS[status], "content": error}
        for parameter in operation.get("parameters", ()):
            name = parameter["name"]
            if name in COUNTS:
                minimum: Optional[int] = None
            elif name == "error_id":
                minimum = 0  # its route takes digits only
            else:
                minimum = INT64_MIN
            _bound_integers(parameter["schema"], minimum)
    return document


def install(app: FastAPI) -> None:
    def openapi() -> Dict[str, Any]:
        if app.openapi_schema is None:
            app.openapi_schema = build(app)
        return app.openapi_schema

    app.openapi = openapi  # type: ignore[method-assign]
