"""The agent's error log: paging, one flag, all flags, against recording doubles on the module."""
from decimal import Decimal
from fractions import Fraction
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_tidewell.exceptions import SyncStatusErrorRecordNotFoundError

from test_tidewell_doubles import Harness, h, run  # noqa: F401 (h is a fixture)

OPEN, ENTER = ("open",), ("enter",)
CLEAN_EXIT = ("exit", None, None)


class Validator:
    """SyncStatusErrors double: model_validate logs its argument and wraps it."""

    def __init__(self, log, fail_on=None):
        self.log, self.fail_on = log, fail_on

    def model_validate(self, *args, **kwargs):
        self.log.append(("validate", args, kwargs))
        if args and args[0] is self.fail_on:
            raise ValueError("does not fit")
        return ("valid", args[0])


@pytest.fixture
def validator(h, monkeypatch):
    v = Validator(h.log)
    monkeypatch.setattr(tidewell, "SyncStatusErrors", v)
    return v


# ---- get_sync_errors ------------------------------------------------------------------

@pytest.mark.parametrize("args,kwargs,skip,limit,viewed", [
    ((), {}, 0, 10, None),
    ((), {"limit": 20, "skip": 40}, 40, 20, None),
    ((5, 3, True), {}, 3, 5, True),
    ((), {"viewed": False}, 0, 10, False),
    ((), {"limit": True}, 0, 1, None),
    ((), {"skip": 2.7}, 2, 10, None),
    ((7,), {"viewed": None, "skip": Fraction(9, 2)}, 4, 7, None),
])
def test_errors_ask_the_store_with_skip_before_limit_and_viewed_by_keyword(h, validator, args, kwargs, skip,
                                                                           limit, viewed):
    assert run(tidewell.get_sync_errors(*args, **kwargs)) == []
    store_call = ("read_sync_status_errors", (h.db, skip, limit), (("viewed", viewed),))
    assert h.log == [OPEN, ENTER, store_call, CLEAN_EXIT]
    assert type(h.log[2][1][1]) is int and type(h.log[2][1][2]) is int


@settings(max_examples=60, deadline=None)
@given(limit=st.integers(), skip=st.integers() | st.floats(-1e15, 1e15, allow_nan=False))
def test_errors_hand_any_number_over_as_an_int(limit, skip):
    with pytest.MonkeyPatch.context() as mp:
        h = Harness(mp)
        run(tidewell.get_sync_errors(limit, skip))
    (_, (_, got_skip, got_limit), _), = h.calls("read_sync_status_errors")
    assert (got_skip, got_limit) == (int(skip), limit)
    assert type(got_skip) is int and type(got_limit) is int


@pytest.mark.parametrize("viewed", [0, 1, "true", 1.0])
def test_errors_refuse_a_viewed_filter_that_is_no_bool_before_opening_a_session(h, viewed):
    with pytest.raises(TypeError, match=rf"^Argument 'viewed' has incorrect type \(expected bool, got "
                                        rf"{type(viewed).__name__}\)$"):
        tidewell.get_sync_errors(viewed=viewed)
    assert h.log == []


def test_errors_validate_each_entry_in_store_order_inside_the_session(h, validator):
    rows = [object(), object(), object()]
    h.store.results["read_sync_status_errors"] = iter(rows)  # iterated once, whatever the iterable
    result = run(tidewell.get_sync_errors())
    assert type(result) is list and result == [("valid", r) for r in rows]
    assert h.log[3:] == [("validate", (r,), {}) for r in rows] + [CLEAN_EXIT]


def test_errors_return_a_new_list_even_when_the_store_gives_one(h, validator):
    rows = []
    h.store.results["read_sync_status_errors"] = rows
    result = run(tidewell.get_sync_errors())
    assert result == [] and result is not rows


def test_an_entry_that_does_not_validate_fails_the_whole_call(h, validator):
    rows = [object(), object(), object()]
    validator.fail_on = rows[1]
    h.store.results["read_sync_status_errors"] = rows
    with pytest.raises(ValueError) as caught:
        run(tidewell.get_sync_errors())
    assert h.log[-1] == ("exit", ValueError, caught.value)
    assert len(h.calls("validate")) == 2


def test_errors_from_iterating_the_store_result_reach_the_caller_unchanged(h, validator):
    error = OSError("cursor closed")

    def rows():
        yield object()
        raise error

    h.store.results["read_sync_status_errors"] = rows()
    with pytest.raises(OSError) as caught:
        run(tidewell.get_sync_errors())
    assert caught.value is error and h.log[-1] == ("exit", OSError, error)


# ---- set_sync_status_error_viewed ---------------------------------------------------------

@pytest.mark.parametrize("viewed,flag", [
    (True, True), (False, False), ("", False), ("no", True), ("False", True), (0, False), (2, True),
    ([], False), ([0], True), (None, False), (SimpleNamespace(), True),
])
def test_set_viewed_passes_the_flag_by_truth_value(h, validator, viewed, flag):
    run(tidewell.set_sync_status_error_viewed(5, viewed))
    (_, (db, error_id, got), kwargs), = h.calls("set_sync_status_error_viewed")
    assert (db, error_id, kwargs) == (h.db, 5, ()) and got is flag


def test_set_viewed_converts_the_id_and_validates_the_row_inside_the_session(h, validator):
    row = object()
    h.store.results["set_sync_status_error_viewed"] = row
    assert run(tidewell.set_sync_status_error_viewed(error_id=7.9, viewed=True)) == ("valid", row)
    assert h.log == [OPEN, ENTER, ("set_sync_status_error_viewed", (h.db, 7, True), ()),
                     ("validate", (row,), {}), CLEAN_EXIT]


def test_set_viewed_lets_the_stores_record_not_found_error_through_unchanged(h, validator):
    error = SyncStatusErrorRecordNotFoundError("Sync status error record 99 not found")
    h.store.results["set_sync_status_error_viewed"] = error
    with pytest.raises(SyncStatusErrorRecordNotFoundError) as caught:
        run(tidewell.set_sync_status_error_viewed(99, True))
    assert caught.value is error
    assert h.log[-1] == ("exit", SyncStatusErrorRecordNotFoundError, error)
    assert not h.calls("validate")


def test_set_viewed_error_from_the_truth_test_stops_the_call(h):
    class NoTruth:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        tidewell.set_sync_status_error_viewed(1, NoTruth())
    assert h.log == []


# ---- mark_all_sync_status_errors_viewed ----------------------------------------------------

@pytest.mark.parametrize("count,expected", [
    (0, 0), (17, 17), (None, None), (3.0, 3), (True, 1), (Decimal("4.7"), 4), (Fraction(9, 2), 4), (2**70, 2**70),
])
def test_mark_all_returns_the_count_as_int_or_none(h, count, expected):
    h.store.results["mark_all_sync_status_errors_viewed"] = count
    result = run(tidewell.mark_all_sync_status_errors_viewed())
    assert result == expected and type(result) is type(expected)
    assert h.log == [OPEN, ENTER, ("mark_all_sync_status_errors_viewed", (h.db,), ()), CLEAN_EXIT]


@pytest.mark.parametrize("count", ["3", b"3", [3], object()])
def test_mark_all_refuses_a_count_that_is_no_number_inside_the_session(h, count):
    h.store.results["mark_all_sync_status_errors_viewed"] = count
    with pytest.raises(TypeError, match=rf"^Expected int, got {type(count).__name__}$") as caught:
        run(tidewell.mark_all_sync_status_errors_viewed())
    assert h.log[-1] == ("exit", TypeError, caught.value)


def test_mark_all_returns_the_exact_int_object(h):
    count = 10**30
    h.store.results["mark_all_sync_status_errors_viewed"] = count
    assert run(tidewell.mark_all_sync_status_errors_viewed()) is count


# ---- shared: errors, suppression, docstrings -------------------------------------------------

CALLS = {
    "get_sync_errors": (lambda: tidewell.get_sync_errors(), "read_sync_status_errors"),
    "set_sync_status_error_viewed": (lambda: tidewell.set_sync_status_error_viewed(1, True),
                                     "set_sync_status_error_viewed"),
    "mark_all_sync_status_errors_viewed": (lambda: tidewell.mark_all_sync_status_errors_viewed(),
                                           "mark_all_sync_status_errors_viewed"),
}


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("where", ["open", "enter", "store"])
def test_log_calls_pass_errors_on_as_the_same_object(h, validator, name, where):
    call, store_method = CALLS[name]
    error = RuntimeError(where)
    if where == "open":
        h.open_error = error
    elif where == "enter":
        h.enter_error = error
    else:
        h.store.results[store_method] = error
    with pytest.raises(RuntimeError) as caught:
        run(call())
    assert caught.value is error
    assert h.calls("exit") == ([("exit", RuntimeError, error)] if where == "store" else [])


@pytest.mark.parametrize("name", CALLS)
def test_log_calls_return_none_when_the_session_suppresses(h, validator, name):
    call, store_method = CALLS[name]
    h.store.results[store_method] = RuntimeError()
    h.suppress = True
    assert run(call()) is None


@pytest.mark.parametrize("name,lines", [
    ("get_sync_errors", [
        "get_sync_errors(int limit: int = 10, int skip: int = 0, bool viewed: Optional[bool] = None)"
        " -> List[SyncStatusErrors]",
        "",
        "Read error-log records for the Tidewell.",
        "",
        "Args:",
        "    limit: Page size.",
        "    skip: Offset for pagination.",
        "    viewed: If not None, only return errors whose ``viewed`` flag matches (pass ``False``",
        "            for unread-only).",
    ]),
    ("set_sync_status_error_viewed", [
        "set_sync_status_error_viewed(int error_id: int, bool viewed: bool) -> SyncStatusErrors",
        "",
        "Set the viewed flag on a single sync-status error record.",
        "",
        "Raises:",
        "    SyncStatusErrorRecordNotFoundError: If no record with ``error_id`` exists.",
    ]),
    ("mark_all_sync_status_errors_viewed", [
        "mark_all_sync_status_errors_viewed() -> int",
        "",
        "Mark every sync-status error as viewed. Returns the number flipped.",
    ]),
])
def test_log_call_docstrings_line_by_line(name, lines):
    assert getattr(tidewell, name).__doc__.split("\n") == lines
