"""Binding, conversion and metadata of the native module functions, one rule set for all four modules."""
import asyncio
import decimal
import fractions
import inspect
import math
import pydoc

import pytest
from leakcheck import ALLOWED_GROWTH, blocks_grown

from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell

# name: (module, signature line, is coroutine function, __defaults__)
FUNCTIONS = {
    "_get_service_status_safe": (tidewell, "_get_service_status_safe(service_module) -> ServiceStatus", False, None),
    "_create_response": (tidewell, "_create_response(status_model) -> SyncStatusReadV1", False, None),
    "start_tidewell": (tidewell, "start_tidewell() -> SyncStatusReadV1", True, None),
    "stop_tidewell": (tidewell, "stop_tidewell() -> SyncStatusReadV1", True, None),
    "get_sync_status": (tidewell, "get_sync_status() -> SyncStatusReadV1", True, None),
    "get_sync_errors": (
        tidewell,
        "get_sync_errors(int limit: int = 10, int skip: int = 0, bool viewed: Optional[bool] = None)"
        " -> List[SyncStatusErrors]",
        True,
        (10, 0, None),
    ),
    "set_sync_status_error_viewed": (
        tidewell, "set_sync_status_error_viewed(int error_id: int, bool viewed: bool) -> SyncStatusErrors", True, None),
    "mark_all_sync_status_errors_viewed": (tidewell, "mark_all_sync_status_errors_viewed() -> int", True, None),
    "generate_tidewell_report": (tidewell, "generate_tidewell_report(str message: str) -> str", True, None),
    "get_tidewell_error_report": (tidewell, "get_tidewell_error_report(str message: str) -> str", True, None),
    "report_tidewell": (tidewell, "report_tidewell(str message: str) -> None", True, None),
    "list_parcelry": (
        parcelry,
        "list_parcelry(int source_id: int, bool is_synchronized: Optional[bool] = None, bool has_priority: "
        "Optional[bool] = None, str scope_identifier: Optional[str] = None, str query: Optional[str] = None, "
        "order_by: Optional[SyncItemSortKey] = None, order_direction: Optional[OrderDirection] = None, "
        "int offset: int = 0, int limit: int = 100) -> List[SyncItemReadSummaryV1]",
        True,
        (None, None, None, None, None, None, 0, 100),
    ),
    "get_sync_item": (parcelry, "get_sync_item(int sync_item_id: int) -> SyncItemReadV1", True, None),
    "reset_sync_item": (parcelry, "reset_sync_item(int sync_item_id: int) -> None", True, None),
    "prioritize_sync_item": (parcelry, "prioritize_sync_item(int sync_item_id: int) -> None", True, None),
    "generate_sync_item_report": (
        parcelry, "generate_sync_item_report(int sync_item_id: int, str message: str) -> str", True, None),
    "get_sync_item_error_report": (
        parcelry, "get_sync_item_error_report(int sync_item_id: int, str message: str) -> str", True, None),
    "report_sync_item": (parcelry, "report_sync_item(int sync_item_id: int, str message: str) -> None", True, None),
    "create_api_token": (
        keyfolio, "create_api_token(str name: str | None = None) -> APITokenCreateResponse", True, (None,)),
    "list_keyfolio": (keyfolio, "list_keyfolio() -> List[APITokenReadLocal]", True, None),
    "delete_api_token": (keyfolio, "delete_api_token(str api_key_uid: str) -> None", True, None),
    "check_api_token": (keyfolio, "check_api_token(str api_key_uid: str) -> APITokenCheckResponse", True, None),
    "_iter_rotated_and_current": (logs, "_iter_rotated_and_current(current: Path) -> Iterator[str]", False, None),
    "_iter_log_records": (logs, "_iter_log_records(raw_lines: Iterator[str]) -> Iterator[str]", False, None),
    "get_recent_log_lines": (logs, "get_recent_log_lines(service: LogService, int n: int) -> List[str]", False, None),
}
NAMES = sorted(FUNCTIONS)


def function(name):
    return getattr(FUNCTIONS[name][0], name)


@pytest.mark.parametrize("name", NAMES)
def test_metadata(name):
    module, line, is_coroutine, defaults = FUNCTIONS[name]
    f = function(name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == module.__name__
    assert f.__doc__.split("\n")[0] == line
    assert f.__doc__ == line or f.__doc__.startswith(line + "\n\n")
    assert f.__defaults__ == defaults
    assert all(isinstance(v, str) for v in f.__annotations__.values())
    assert asyncio.iscoroutinefunction(f) is is_coroutine
    assert (getattr(f, "_is_coroutine", None) is asyncio.coroutines._is_coroutine) is is_coroutine


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_help(name):
    f = function(name)
    signature = inspect.signature(f)
    assert str(signature).count("=") == len(f.__defaults__ or ())
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        if parameter.name in f.__annotations__:
            assert parameter.annotation == f.__annotations__[parameter.name]
    if "return" in f.__annotations__:
        assert signature.return_annotation == f.__annotations__["return"]
    defaults = tuple(p.default for p in signature.parameters.values() if p.default is not inspect.Parameter.empty)
    assert defaults == (f.__defaults__ or ())
    text = pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert name in text and f.__doc__.split("\n")[-1] in text


def test_annotations_and_writable_attributes():
    f = tidewell.get_sync_errors
    assert f.__annotations__ == {
        "limit": "int", "skip": "int", "viewed": "Optional[bool]", "return": "List[SyncStatusErrors]"}
    assert tidewell._get_service_status_safe.__annotations__ == {"return": "ServiceStatus"}
    assert keyfolio.create_api_token.__annotations__ == {"name": "str | None", "return": "APITokenCreateResponse"}
    f.custom = 1
    assert f.__dict__["custom"] == 1
    del f.custom


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tidewell.get_sync_status(1), "get_sync_status() takes no arguments (1 given)"),
        (lambda: tidewell.get_sync_status(x=1), "get_sync_status() takes no keyword arguments"),
        (lambda: tidewell.get_sync_status(1, x=1), "get_sync_status() takes no keyword arguments"),
        (lambda: tidewell.get_sync_errors(1, 2, None, 4),
         "get_sync_errors() takes at most 3 positional arguments (4 given)"),
        (lambda: tidewell.set_sync_status_error_viewed(),
         "set_sync_status_error_viewed() takes exactly 2 positional arguments (0 given)"),
        (lambda: tidewell.set_sync_status_error_viewed(1),
         "set_sync_status_error_viewed() takes exactly 2 positional arguments (1 given)"),
        (lambda: tidewell.set_sync_status_error_viewed(viewed=True),
         "set_sync_status_error_viewed() takes exactly 2 positional arguments (0 given)"),
        (lambda: tidewell.set_sync_status_error_viewed(1, True, 3),
         "set_sync_status_error_viewed() takes exactly 2 positional arguments (3 given)"),
        (lambda: tidewell.generate_tidewell_report(), "generate_tidewell_report() takes exactly 1 positional argument (0 given)"),
        (lambda: tidewell.set_sync_status_error_viewed(1, True, error_id=2),
         "set_sync_status_error_viewed() got multiple values for keyword argument 'error_id'"),
        (lambda: tidewell.get_sync_errors(bogus=1), "get_sync_errors() got an unexpected keyword argument 'bogus'"),
        # a missing required parameter is reported before a bad keyword
        (lambda: tidewell.set_sync_status_error_viewed(bogus=1),
         "set_sync_status_error_viewed() takes exactly 2 positional arguments (0 given)"),
        (lambda: parcelry.list_parcelry(), "list_parcelry() takes at least 1 positional argument (0 given)"),
        (lambda: parcelry.list_parcelry(*range(10)), "list_parcelry() takes at most 9 positional arguments (10 given)"),
        (lambda: keyfolio.create_api_token(None, None), "create_api_token() takes at most 1 positional argument (2 given)"),
        (lambda: keyfolio.list_keyfolio(None), "list_keyfolio() takes no arguments (1 given)"),
        (lambda: logs.get_recent_log_lines("api"), "get_recent_log_lines() takes exactly 2 positional arguments (1 given)"),
        (lambda: logs._iter_log_records(), "_iter_log_records() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


class Int(int):
    pass


class Str(str):
    pass


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.fixture
def recorded(monkeypatch):
    """tidewell's store double records the arguments get_sync_errors / set_sync_status_error_viewed pass on."""
    calls = []

    class Session:
        async def __aenter__(self):
            return "db"

        async def __aexit__(self, *exc):
            return False

    class Store:
        async def read_sync_status_errors(self, db, skip, limit, viewed):
            calls.append((skip, limit, viewed))
            return []

        async def set_sync_status_error_viewed(self, db, error_id, viewed):
            calls.append((error_id, viewed))
            return {"id": error_id}

    monkeypatch.setattr(tidewell, "get_db_session_context", Session)
    monkeypatch.setattr(tidewell, "crud_sync_status", Store())
    monkeypatch.setattr(tidewell, "SyncStatusErrors", type("E", (), {"model_validate": staticmethod(lambda r: r)}))
    return calls


@pytest.mark.parametrize(
    "value, expected",
    [(7, 7), (True, 1), (False, 0), (2.9, 2), (-2.9, -2), (Int(5), 5), (decimal.Decimal("3.7"), 3),
     (fractions.Fraction(7, 2), 3), (10**30, 10**30)],
)
def test_int_parameters_convert_any_number(recorded, value, expected):
    asyncio.run(tidewell.get_sync_errors(limit=value))
    skip, limit, _ = recorded[0]
    assert limit == expected and type(limit) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("2", TypeError, "Argument 'limit' has incorrect type (expected int, got str)"),
        (None, TypeError, "Argument 'limit' has incorrect type (expected int, got NoneType)"),
        ([1], TypeError, "Argument 'limit' has incorrect type (expected int, got list)"),
        (math.nan, ValueError, None),
        (math.inf, OverflowError, None),
        (1j, TypeError, "complex"),
    ],
)
def test_int_parameters_refuse_non_numbers_at_the_call(recorded, value, error, message):
    with pytest.raises(error) as raised:
        tidewell.get_sync_errors(limit=value)
    if message:
        assert message in str(raised.value)
    assert recorded == []


@pytest.mark.parametrize("value", [None, True, False])
def test_optional_bool_takes_none_or_exact_bool(recorded, value):
    asyncio.run(tidewell.get_sync_errors(viewed=value))
    assert recorded[0][2] is value


@pytest.mark.parametrize("value, type_name", [(0, "int"), (1, "int"), ("yes", "str"), (1.0, "float")])
def test_optional_bool_refuses_others(recorded, value, type_name):
    with pytest.raises(TypeError) as raised:
        tidewell.get_sync_errors(viewed=value)
    assert str(raised.value) == f"Argument 'viewed' has incorrect type (expected bool, got {type_name})"


@pytest.mark.parametrize("value, expected", [("", False), ("no", True), (0, False), ([0], True), (None, False)])
def test_truth_bool_goes_by_truth_value(recorded, value, expected):
    asyncio.run(tidewell.set_sync_status_error_viewed(1, value))
    assert recorded[0][1] is expected


def test_truth_test_error_stops_the_call(recorded):
    with pytest.raises(ZeroDivisionError, match="no truth"):
        tidewell.set_sync_status_error_viewed(1, Truthless())
    assert recorded == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tidewell.generate_tidewell_report(None),
         "Argument 'message' has incorrect type (expected str, got NoneType)"),
        (lambda: tidewell.generate_tidewell_report(b"x"), "Argument 'message' has incorrect type (expected str, got bytes)"),
        (lambda: keyfolio.create_api_token(1), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: parcelry.list_parcelry(1, query=1), "Argument 'query' has incorrect type (expected str, got int)"),
    ],
)
def test_exact_str_parameters(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: tidewell.generate_tidewell_report(Str("x")), "message"),
        (lambda: keyfolio.delete_api_token(Str("x")), "api_key_uid"),
        (lambda: parcelry.list_parcelry(1, scope_identifier=Str("x")), "scope_identifier"),
    ],
)
def test_subclasses_of_builtin_types_are_refused_with_a_note(call, name):
    with pytest.raises(TypeError) as raised:
        call()
    head, note = str(raised.value).split(". ", 1)
    assert head == f"Argument '{name}' has incorrect type (expected str, got Str)"
    assert "subclasses" in note.lower() and "exact str" in note


def test_int_conversions_come_before_type_tests():
    # limit is declared after is_synchronized, but int parameters are converted first
    with pytest.raises(TypeError, match="Argument 'limit'"):
        parcelry.list_parcelry(1, is_synchronized=1, limit="x")


def test_argument_errors_name_the_function_in_the_traceback():
    with pytest.raises(TypeError) as raised:
        tidewell.get_sync_errors(limit="x")
    assert raised.traceback[-1].name == "get_sync_errors"


@pytest.mark.parametrize(
    "call",
    [
        lambda: tidewell.get_sync_errors(1, 2, 3, 4),
        lambda: tidewell.get_sync_errors(bogus=1),
        lambda: tidewell.get_sync_errors(limit="x"),
        lambda: tidewell.generate_tidewell_report(Str("x")),
        lambda: tidewell.get_sync_status(1),
    ],
)
def test_refused_calls_do_not_leak(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except TypeError:
                pass

    assert blocks_grown(lambda: run(1), warmup=1000) < ALLOWED_GROWTH
