"""No reference leaks: 100,000 calls through every success and error path of each function.

The doubles are C-level callables and already-completed futures, so a coroutine runs to
its end on the first send(None) and the loop measures our code, not the doubles."""
import asyncio
import itertools
from enum import Enum
from types import SimpleNamespace

import pytest
import leakcheck
from leakcheck import ALLOWED_GROWTH, CALLS, blocks_grown

from zentab_api.python_api.sync import parcelry



class Status(Enum):
    PENDING = "pending"


class Boom(Exception):
    pass


def raises(*args, **kwargs):
    raise Boom("store failure")


@pytest.fixture(scope="module")
def loop():
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


@pytest.fixture
def doubles(monkeypatch, loop):
    def done(value):
        future = loop.create_future()
        future.set_result(value)
        return future

    def always(value):
        return itertools.repeat(value).__next__

    item = SimpleNamespace(sync_source_id=2, id=7, dataIdentifier="a", datasetUUID="u", syncPriority=1.0,
                           hasPriority=False, attempts=1, status=Status.PENDING, last_update=None, sync_record=None)
    source = SimpleNamespace(name="s", connector="fs", status=Status.PENDING, owner="", default_scope="x",
                             config_data=None)
    db, rows, item_done, source_done = object(), done([item, item, item]), done(item), done(source)
    exit_done = done(False)

    class Session:
        def __aenter__(self):
            return db_done

        def __aexit__(self, exc_type, exc, tb):
            return exit_done

    db_done = done(db)
    state = SimpleNamespace(
        session=Session(),
        crud=SimpleNamespace(list_parcelry=lambda db, **kw: rows, read_sync_item=lambda db, i: item_done,
                             update_sync_item=lambda db, i, **kw: item_done),
        sources=SimpleNamespace(read_sync_source=lambda db, i: source_done),
        suppress=done(True),
    )
    names = dict(
        get_db_session_context=always(state.session),
        crud_parcelry=state.crud,
        crud_sync_sources=state.sources,
        get_sync_connectors=always({"fs": item}),
        SyncItemReadSummaryV1=SimpleNamespace(model_validate=id),
        SyncItemReadV1=SimpleNamespace(model_validate=lambda row: item),
        ConnectorRead=SimpleNamespace(model_validate=repr),
        REPORT_TEMPLATE_SYNC_ITEM="{message} {sync_item_id} {status} {last_update} {connector_info} {logs}",
        format_connector_info=str,
        format_sync_record_logs=str,
        BugReportCreateV3=dict,
        report_bug=len,
    )
    for name, value in names.items():
        monkeypatch.setattr(parcelry, name, value)
    state.set = lambda name, value: monkeypatch.setattr(parcelry, name, value)
    return state


def drive(call):
    return leakcheck.drive(call, (Boom, TypeError))


def suppressing(state):
    state.session.__class__.__aexit__ = lambda self, *exc: state.suppress


def failing_store(state):
    for name in ("list_parcelry", "read_sync_item", "update_sync_item"):
        setattr(state.crud, name, raises)
    state.sources.read_sync_source = raises


PATHS = {
    # name: (call, set-up, expected result)
    "list ok": (lambda: parcelry.list_parcelry(1, None, True, "s", "q", "id", "asc", 0, 5), None, list),
    "list bad argument": (lambda: parcelry.list_parcelry(1, is_synchronized=1), None, TypeError),
    "list store error": (lambda: parcelry.list_parcelry(1.5), failing_store, Boom),
    "list suppressed": (lambda: parcelry.list_parcelry(1), lambda s: (failing_store(s), suppressing(s)), None),
    "get ok": (lambda: parcelry.get_sync_item(True), None, SimpleNamespace),
    "get bad argument": (lambda: parcelry.get_sync_item("1"), None, TypeError),
    "get store error": (lambda: parcelry.get_sync_item(1), failing_store, Boom),
    "reset ok": (lambda: parcelry.reset_sync_item(1), None, None),
    "reset bad argument": (lambda: parcelry.reset_sync_item(None), None, TypeError),
    "reset store error": (lambda: parcelry.reset_sync_item(1), failing_store, Boom),
    "prioritise ok": (lambda: parcelry.prioritize_sync_item(1), None, None),
    "prioritise bad argument": (lambda: parcelry.prioritize_sync_item([]), None, TypeError),
    "prioritise store error": (lambda: parcelry.prioritize_sync_item(1), failing_store, Boom),
    "generate ok": (lambda: parcelry.generate_sync_item_report(1, "m"), None, str),
    "generate unknown connector": (lambda: parcelry.generate_sync_item_report(1, "m"),
                                   lambda s: s.set("get_sync_connectors", itertools.repeat({}).__next__), str),
    "generate bad argument": (lambda: parcelry.generate_sync_item_report(1, None), None, TypeError),
    "generate store error": (lambda: parcelry.generate_sync_item_report(1, "m"), failing_store, Boom),
    "generate bad text": (lambda: parcelry.generate_sync_item_report(1, "m"),
                          lambda s: s.set("REPORT_TEMPLATE_SYNC_ITEM", SimpleNamespace(format=dict)), TypeError),
    "error report ok": (lambda: parcelry.get_sync_item_error_report(1, "m"), None, str),
    "error report bad argument": (lambda: parcelry.get_sync_item_error_report(1, 2), None, TypeError),
    "error report store error": (lambda: parcelry.get_sync_item_error_report(1, "m"), failing_store, Boom),
    "report ok": (lambda: parcelry.report_sync_item(1, "m"), None, None),
    "report bad argument": (lambda: parcelry.report_sync_item("1", "m"), None, TypeError),
    "report send error": (lambda: parcelry.report_sync_item(1, "m"), lambda s: s.set("report_bug", raises), Boom),
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path", list(PATHS))
def test_no_growth_over_many_calls(doubles, path):
    call, setup, expected = PATHS[path]
    if setup:
        setup(doubles)
    result = drive(call)
    assert result is expected or type(result) is expected
    growth = blocks_grown(lambda: drive(call))
    print(f"\n{path}: {growth:+d} blocks over {CALLS} calls")
    assert growth < ALLOWED_GROWTH
