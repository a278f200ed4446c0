"""Our functions' annotations resolve like a Python function's, so frameworks can use them directly."""
import asyncio
import inspect
import typing
from types import SimpleNamespace

import httpx
import pytest
from fastapi import FastAPI

from conftest import NATIVE, OWN
from zentab_api.app.schemas.sync.parcelry import SyncItemReadV1

FUNCTIONS = [(name, getattr(NATIVE[module], name)) for module in NATIVE
             for name in sorted(OWN[module] | ({"get_recent_log_lines"} if module == "logs" else set()))]
IDS = [name for name, _ in FUNCTIONS]


@pytest.mark.parametrize("name, function", FUNCTIONS, ids=IDS)
def test_type_hints_resolve_in_the_module_namespace(name, function):
    hints = typing.get_type_hints(function)
    assert set(hints) == set(function.__annotations__)
    namespace = vars(inspect.getmodule(function))
    for key, text in function.__annotations__.items():
        assert hints[key] == typing.get_type_hints(
            SimpleNamespace(__annotations__={key: text}, __globals__=namespace), namespace)[key]
    assert function.__globals__ is namespace


@pytest.mark.parametrize("name, function", FUNCTIONS, ids=IDS)
def test_signature_resolves_annotations(name, function):
    # As for a Python function: each annotation string evaluated in the module's namespace.
    namespace = vars(inspect.getmodule(function))

    def resolved(key):
        text = function.__annotations__.get(key)
        return inspect.Parameter.empty if text is None else eval(text, namespace)

    signature = inspect.signature(function, eval_str=True)
    assert signature.return_annotation == resolved("return")
    for parameter in signature.parameters.values():
        assert parameter.annotation == resolved(parameter.name)


class Session:
    def __init__(self, journal):
        self.journal = journal

    def __call__(self):
        return self

    async def __aenter__(self):
        self.journal.append("enter")
        return "db"

    async def __aexit__(self, *exc):
        self.journal.append(("exit", exc))


def test_a_coroutine_function_serves_as_a_fastapi_route(monkeypatch):
    from zentab_api.python_api.sync import parcelry
    journal = []

    async def read_sync_item(db, sync_item_id):
        journal.append(("read_sync_item", db, sync_item_id))
        return SimpleNamespace(id=sync_item_id, sync_source_id=5, dataIdentifier="notes/a.csv", datasetUUID="u-1",
                               scope_identifier="notes", syncPriority=2.5, hasPriority=True, attempts=1,
                               synchronized=False, status="pending", last_update=None, sync_record=None)

    monkeypatch.setattr(parcelry, "get_db_session_context", Session(journal))
    monkeypatch.setattr(parcelry, "crud_parcelry", SimpleNamespace(read_sync_item=read_sync_item))
    app = FastAPI()
    app.get("/items/{sync_item_id}")(parcelry.get_sync_item)

    async def serve():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await client.get("/items/41"), await client.get("/items/forty-one")

    response, refused = asyncio.run(serve())
    assert response.status_code == 200, response.text
    assert response.json()["id"] == 41 and response.json()["dataIdentifier"] == "notes/a.csv"
    assert journal == ["enter", ("read_sync_item", "db", 41), ("exit", (None, None, None))]
    assert refused.status_code == 422  # the path parameter was read as the int annotation
    schema = app.openapi()["paths"]["/items/{sync_item_id}"]["get"]
    assert schema["responses"]["200"]["content"]["application/json"]["schema"]["$ref"].endswith("/SyncItemReadV1")
