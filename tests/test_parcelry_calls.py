"""parcelry against recording doubles: the exact calls it makes, its argument rules,
and what happens to errors on the way through the session."""
import asyncio
from datetime import datetime, timezone
from enum import Enum
from types import SimpleNamespace

import pytest
from hypothesis import event, given, settings, strategies as st

from zentab_api.python_api.sync import parcelry

DB = object()  # the session the fake context yields


class Log(list):
    def add(self, name, *args, **kwargs):
        self.append((name, args, list(kwargs.items())))


class Session:
    """Async context manager double: records entry and exit, may suppress."""

    def __init__(self, log, suppress=False):
        self.log, self.suppress, self.depth = log, suppress, 0

    def __call__(self):
        self.log.add("session")
        return self

    async def __aenter__(self):
        self.depth += 1
        self.log.add("enter")
        return DB

    async def __aexit__(self, exc_type, exc, tb):
        self.depth -= 1
        self.log.add("exit", exc_type)
        return self.suppress


class Template:
    def __init__(self, log, result="REPORT"):
        self.log, self.result = log, result

    def format(self, **kwargs):
        self.log.add("format", **kwargs)
        return self.result


class SourceStatus(str, Enum):
    ACTIVE = "active"


class ItemStatus(Enum):
    PENDING = "pending"


def make_item(**over):
    fields = dict(id=41, dataIdentifier="notes/a.csv", datasetUUID="u-1", syncPriority=2.5, hasPriority=False,
                  attempts=3, status=ItemStatus.PENDING, last_update=None, sync_record={"logs": ["x"]})
    fields.update(over)
    return SimpleNamespace(**fields)


def make_source(**over):
    fields = dict(name="Field notes", connector="filesystem", status=SourceStatus.ACTIVE, owner="alice",
                  default_scope="notes", config_data={"root": "/srv"})
    fields.update(over)
    return SimpleNamespace(**fields)


class Fakes:
    """All collaborators of the module, recording into one log in call order."""

    def __init__(self, monkeypatch):
        self.log = log = Log()
        self.session = Session(log)
        self.items = ["r1", "r2", "r3"]
        self.item_row = SimpleNamespace(sync_source_id=5)
        self.item_read = make_item()
        self.source = make_source()
        self.connectors = {"filesystem": "fs-entry"}
        self.template = Template(log)
        self.fail = {}  # collaborator name -> exception to raise

        def record(name, result=None):
            def call(*args, **kwargs):
                log.add(name, *args, **kwargs)
                if name in self.fail:
                    raise self.fail[name]
                return result(*args) if callable(result) else result
            return call

        def awaited(name, result=None):
            sync = record(name, result)

            async def call(*args, **kwargs):
                return sync(*args, **kwargs)
            return call

        class Connectors(dict):
            def get(inner, key):
                log.add("connectors.get", key)
                return dict.get(inner, key)

        crud = SimpleNamespace(list_parcelry=awaited("list_parcelry", lambda *_: self.items),
                               read_sync_item=awaited("read_sync_item", lambda *_: self.item_row),
                               update_sync_item=awaited("update_sync_item", "updated-row"))
        names = dict(
            get_db_session_context=self.session,
            crud_parcelry=crud,
            crud_sync_sources=SimpleNamespace(read_sync_source=awaited("read_sync_source", lambda *_: self.source)),
            get_sync_connectors=record("get_sync_connectors", lambda: Connectors(self.connectors)),
            SyncItemReadSummaryV1=SimpleNamespace(model_validate=record("summary", lambda row: "S-" + row)),
            SyncItemReadV1=SimpleNamespace(model_validate=record("item", lambda _: self.item_read)),
            ConnectorRead=SimpleNamespace(model_validate=record("connector", "connector-read")),
            REPORT_TEMPLATE_SYNC_ITEM=self.template,
            format_connector_info=record("format_connector_info", "CONNECTOR"),
            format_sync_record_logs=record("format_sync_record_logs", "LOGS"),
            BugReportCreateV3=record("BugReportCreateV3", "bug-record"),
            report_bug=self._report_bug(record("report_bug", "ignored")),
        )
        for name, value in names.items():
            monkeypatch.setattr(parcelry, name, value)

    def _report_bug(self, inner):
        def report_bug(*args, **kwargs):
            self.depth_at_report = self.session.depth
            return inner(*args, **kwargs)
        return report_bug

    def calls(self, name):
        return [(args, kwargs) for n, args, kwargs in self.log if n == name]

    def names(self):
        return [n for n, _, _ in self.log]


@pytest.fixture
def fakes(monkeypatch):
    return Fakes(monkeypatch)


def run(coro):
    return asyncio.run(coro)


LIST_DEFAULTS = [("source_id", 3), ("is_synchronized", None), ("has_priority", None), ("scope_identifier", None),
                 ("order_by", None), ("order_direction", None), ("offset", 0), ("limit", 100), ("query", None)]


# ---- listing --------------------------------------------------------------------

def test_list_passes_every_default_in_store_order(fakes):
    assert run(parcelry.list_parcelry(3)) == ["S-r1", "S-r2", "S-r3"]
    assert fakes.calls("list_parcelry") == [((DB,), LIST_DEFAULTS)]
    assert fakes.names() == ["session", "enter", "list_parcelry", "summary", "summary", "summary", "exit"]
    assert [args for args, _ in fakes.calls("summary")] == [("r1",), ("r2",), ("r3",)]


@pytest.mark.parametrize("kwargs, changed", [
    (dict(offset=-5, limit=0), dict(offset=-5, limit=0)),
    (dict(order_by="priority", order_direction="sideways"), dict(order_by="priority", order_direction="sideways")),
    (dict(source_id=True), dict(source_id=1)),
    (dict(source_id=2.9), dict(source_id=2)),
    (dict(is_synchronized=False, has_priority=True, scope_identifier="", query="ab"),
     dict(is_synchronized=False, has_priority=True, scope_identifier="", query="ab")),
])
def test_list_forwards_converted_arguments_unchanged(fakes, kwargs, changed):
    kwargs = {"source_id": 3, **kwargs}
    run(parcelry.list_parcelry(**kwargs))
    [(_, sent)] = fakes.calls("list_parcelry")
    assert sent == [(k, changed.get(k, v)) for k, v in LIST_DEFAULTS]
    for (_, value), (_, expected) in zip(sent, LIST_DEFAULTS):
        if isinstance(expected, int):
            assert type(value) is int


def test_list_empty_result_still_uses_one_session(fakes):
    fakes.items = iter(())
    assert run(parcelry.list_parcelry(1)) == []
    assert fakes.names() == ["session", "enter", "list_parcelry", "exit"]


class StrSub(str):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: parcelry.list_parcelry("2"), "Argument 'source_id' has incorrect type (expected int, got str)"),
    (lambda: parcelry.list_parcelry(None), "Argument 'source_id' has incorrect type (expected int, got NoneType)"),
    (lambda: parcelry.list_parcelry(1, is_synchronized=1),
     "Argument 'is_synchronized' has incorrect type (expected bool, got int)"),
    (lambda: parcelry.list_parcelry(1, is_synchronized=1, limit="x"),
     "Argument 'limit' has incorrect type (expected int, got str)"),
    (lambda: parcelry.prioritize_sync_item("1"), "Argument 'sync_item_id' has incorrect type (expected int, got str)"),
    (lambda: parcelry.reset_sync_item(None), "Argument 'sync_item_id' has incorrect type (expected int, got NoneType)"),
    (lambda: parcelry.generate_sync_item_report(1, None),
     "Argument 'message' has incorrect type (expected str, got NoneType)"),
    (lambda: parcelry.report_sync_item(1, b"x"), "Argument 'message' has incorrect type (expected str, got bytes)"),
    (lambda: parcelry.get_sync_item_error_report("1", None),
     "Argument 'sync_item_id' has incorrect type (expected int, got str)"),
])
def test_bad_arguments_refused_at_the_call(fakes, call, message):
    with pytest.raises(TypeError) as info:
        call()  # never awaited: the refusal comes before any coroutine exists
    assert str(info.value) == message
    assert fakes.log == []


@pytest.mark.parametrize("call, name", [
    (lambda: parcelry.list_parcelry(1, query=StrSub("a")), "query"),
    (lambda: parcelry.generate_sync_item_report(1, StrSub("m")), "message"),
])
def test_str_subclass_refused_with_note(fakes, call, name):
    with pytest.raises(TypeError) as info:
        call()
    head = f"Argument '{name}' has incorrect type (expected str, got StrSub). "
    assert str(info.value).startswith(head)
    assert "subclass" in str(info.value)[len(head):].lower()


# A Python model of the argument rules of list_parcelry, for arbitrary values.
INT_PARAMS = ("source_id", "offset", "limit")
TESTED = {"is_synchronized": bool, "has_priority": bool, "scope_identifier": str, "query": str}
ORDER = ["source_id", "is_synchronized", "has_priority", "scope_identifier", "query", "order_by",
         "order_direction", "offset", "limit"]

values = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True),
                   st.text(max_size=3), st.builds(StrSub, st.text(max_size=2)), st.builds(IntSub, st.integers()),
                   st.just([1]))


def expected_outcome(args):
    converted = dict(args)
    for name in INT_PARAMS:
        v = args[name]
        if type(v) is int:
            continue
        if not isinstance(v, (int, float)):
            return TypeError, f"Argument '{name}' has incorrect type (expected int, got {type(v).__name__})"
        try:
            converted[name] = int(v)
        except (OverflowError, ValueError) as e:
            return type(e), str(e)
    for name in ORDER:
        want = TESTED.get(name)
        v = args[name]
        if want is None or v is None or type(v) is want:
            continue
        message = (f"Argument '{name}' has incorrect type (expected {want.__name__}, got {type(v).__name__})")
        return TypeError, message + (". " if isinstance(v, want) else "")
    return None, [(k, converted[k]) for k, _ in LIST_DEFAULTS]


# Mostly acceptable values, so that both outcomes are well covered.
good = {"source_id": st.integers(), "offset": st.integers(), "limit": st.integers(),
        "is_synchronized": st.one_of(st.none(), st.booleans()), "has_priority": st.one_of(st.none(), st.booleans()),
        "scope_identifier": st.one_of(st.none(), st.text(max_size=3)),
        "query": st.one_of(st.none(), st.text(max_size=3)), "order_by": values, "order_direction": values}


@st.composite
def list_arguments(draw):
    # A few parameters (often none) get any value at all, the rest acceptable ones.
    wild = draw(st.sets(st.sampled_from(ORDER), max_size=3))
    return {name: draw(values if name in wild else good[name]) for name in ORDER}


@settings(max_examples=300, deadline=None)
@given(list_arguments())
def test_list_argument_rules_match_model(args):
    with pytest.MonkeyPatch.context() as m:
        fakes = Fakes(m)
        error, detail = expected_outcome(args)
        event("accepted" if error is None else error.__name__)
        if error is None:
            run(parcelry.list_parcelry(**args))
            [(_, sent)] = fakes.calls("list_parcelry")
            assert sent == detail
            assert all(type(dict(sent)[n]) is int for n in INT_PARAMS)
        else:
            with pytest.raises(error) as info:
                parcelry.list_parcelry(*[args[n] for n in ORDER])
            text = str(info.value)
            assert text == detail or (detail.endswith(". ") and text.startswith(detail))
            assert fakes.log == []


def test_validation_failure_on_third_record_passes_through_exit(fakes):
    seen = []

    def validate(record):
        seen.append(record)
        if len(seen) == 3:
            raise ValueError("bad row")
        return record

    parcelry.SyncItemReadSummaryV1.model_validate = validate
    with pytest.raises(ValueError, match="bad row"):
        run(parcelry.list_parcelry(1))
    assert seen == ["r1", "r2", "r3"]
    assert fakes.log[-1] == ("exit", (ValueError,), [])


# ---- lookup and actions -----------------------------------------------------------

def test_get_sync_item_call_form(fakes):
    assert run(parcelry.get_sync_item(True)) is fakes.item_read
    assert fakes.names() == ["session", "enter", "read_sync_item", "item", "exit"]
    assert fakes.calls("read_sync_item") == [((DB, 1), [])]
    assert fakes.calls("item") == [((fakes.item_row,), [])]


@pytest.mark.parametrize("func, arg, sent_id, fields", [
    (parcelry.reset_sync_item, 7, 7, [("attempts", 0), ("synchronized", False), ("has_priority", False)]),
    (parcelry.reset_sync_item, True, 1, [("attempts", 0), ("synchronized", False), ("has_priority", False)]),
    (parcelry.prioritize_sync_item, 7.5, 7, [("has_priority", True)]),
])
def test_actions_send_exactly_their_fields(fakes, func, arg, sent_id, fields):
    assert run(func(arg)) is None  # the update's own result is dropped
    assert run(func(arg)) is None
    assert fakes.calls("update_sync_item") == [((DB, sent_id), fields)] * 2
    [(args, sent)] = fakes.calls("update_sync_item")[:1]
    assert [type(v) for _, v in sent] == [type(v) for _, v in fields]  # 0 is int, flags are bool
    assert type(args[1]) is int
    assert fakes.names() == ["session", "enter", "update_sync_item", "exit"] * 2


@pytest.mark.parametrize("func, args, failing", [
    (parcelry.list_parcelry, (1,), "list_parcelry"),
    (parcelry.get_sync_item, (1,), "read_sync_item"),
    (parcelry.get_sync_item, (1,), "item"),
    (parcelry.reset_sync_item, (1,), "update_sync_item"),
    (parcelry.prioritize_sync_item, (1,), "update_sync_item"),
    (parcelry.generate_sync_item_report, (1, "m"), "read_sync_source"),
    (parcelry.generate_sync_item_report, (1, "m"), "format_sync_record_logs"),
    (parcelry.get_sync_item_error_report, (1, "m"), "get_sync_connectors"),
])
def test_store_errors_reach_caller_after_exit(fakes, func, args, failing):
    error = LookupError("no such row")
    fakes.fail[failing] = error
    with pytest.raises(LookupError) as info:
        run(func(*args))
    assert info.value is error
    assert fakes.log[-1] == ("exit", (LookupError,), [])


@pytest.mark.parametrize("func, args", [
    (parcelry.list_parcelry, (1,)),
    (parcelry.get_sync_item, (1,)),
    (parcelry.reset_sync_item, (1,)),
    (parcelry.prioritize_sync_item, (1,)),
    (parcelry.generate_sync_item_report, (1, "m")),
    (parcelry.get_sync_item_error_report, (1, "m")),
])
def test_suppressed_errors_give_none(fakes, func, args):
    fakes.session.suppress = True
    fakes.fail.update(list_parcelry=KeyError(), read_sync_item=KeyError(), update_sync_item=KeyError())
    assert run(func(*args)) is None


# ---- problem reports ---------------------------------------------------------------

REPORT_KEYWORDS = ["message", "sync_item_id", "data_identifier", "dataset_uuid", "sync_priority", "has_priority",
                   "attempts", "status", "last_update", "sync_source_name", "sync_source_connector",
                   "sync_source_status", "sync_source_owner", "sync_source_default_scope",
                   "sync_source_config_data", "connector_info", "logs"]


def test_report_calls_in_order_with_all_keywords(fakes):
    assert run(parcelry.generate_sync_item_report(8.9, "it {broke}")) == "REPORT"
    assert fakes.names() == ["session", "enter", "read_sync_item", "read_sync_source", "get_sync_connectors",
                             "connectors.get", "connector", "item", "format_connector_info",
                             "format_sync_record_logs", "format", "exit"]
    assert fakes.calls("read_sync_item") == [((DB, 8), [])]
    assert fakes.calls("read_sync_source") == [((DB, 5), [])]
    assert fakes.calls("connectors.get") == [(("filesystem",), [])]
    assert fakes.calls("connector") == [(("fs-entry",), [])]
    assert fakes.calls("format_connector_info") == [(("connector-read",), [])]
    assert fakes.calls("format_sync_record_logs") == [(({"logs": ["x"]},), [])]
    [(_, sent)] = fakes.calls("format")
    assert sent == list(zip(REPORT_KEYWORDS, [
        "it {broke}", 41, "notes/a.csv", "u-1", 2.5, False, 3, "pending", "N/A", "Field notes", "filesystem",
        "active", "alice", "notes", {"root": "/srv"}, "CONNECTOR", "LOGS"]))


STAMP = datetime(2024, 6, 11, 8, 30, tzinfo=timezone.utc)


@pytest.mark.parametrize("item, source, expected", [
    (dict(last_update=STAMP), {}, dict(last_update=STAMP.isoformat())),
    (dict(last_update=""), {}, dict(last_update="N/A")),
    ({}, dict(owner="", default_scope=None, config_data=None),
     dict(sync_source_owner="N/A", sync_source_default_scope="N/A", sync_source_config_data=None)),
    ({}, dict(owner=0, default_scope="", config_data={}),
     dict(sync_source_owner="N/A", sync_source_default_scope="N/A", sync_source_config_data={})),
    ({}, dict(status="paused"), dict(sync_source_status="paused")),
    ({}, dict(status=SimpleNamespace(value=None)), dict(sync_source_status=None)),
    (dict(id=99, status=SimpleNamespace(value="odd")), {}, dict(sync_item_id=99, status="odd")),
])
def test_report_values_and_fallbacks(fakes, item, source, expected):
    fakes.item_read = make_item(**item)
    fakes.source = make_source(**source)
    run(parcelry.generate_sync_item_report(1, "m"))
    sent = dict(fakes.calls("format")[0][1])
    for key, value in expected.items():
        assert sent[key] == value and type(sent[key]) is type(value)


@pytest.mark.parametrize("registry", [{}, {"filesystem": None}, {"filesystem": ""}])
def test_unknown_connector_gives_none_to_formatter(fakes, registry):
    fakes.connectors = registry
    run(parcelry.generate_sync_item_report(1, "m"))
    assert fakes.calls("connector") == []
    assert fakes.calls("format_connector_info") == [((None,), [])]


@pytest.mark.parametrize("result, error", [
    ("text", None), (None, None), (StrSub("text"), "Expected str, got StrSub"), (b"x", "Expected str, got bytes"),
])
def test_report_text_must_be_exact_str_inside_session(fakes, result, error):
    fakes.template.result = result
    if error is None:
        assert run(parcelry.generate_sync_item_report(1, "m")) is result
        assert run(parcelry.get_sync_item_error_report(1, "m")) is result
        return
    with pytest.raises(TypeError, match=f"^{error}$"):
        run(parcelry.generate_sync_item_report(1, "m"))
    assert fakes.log[-1] == ("exit", (TypeError,), [])


@pytest.fixture
def generator(monkeypatch):
    """Rebinds generate_sync_item_report on the module, recording its calls."""
    calls = []
    state = SimpleNamespace(result="TEXT", calls=calls)

    async def generate(*args, **kwargs):
        calls.append((args, kwargs))
        return state.result
    monkeypatch.setattr(parcelry, "generate_sync_item_report", generate)
    return state


@pytest.mark.parametrize("result, error", [
    ("TEXT", None), (None, None), (3, "Expected str, got int"), (StrSub("x"), "Expected str, got StrSub"),
])
def test_error_report_goes_through_module_attribute(fakes, generator, result, error):
    generator.result = result
    if error:
        with pytest.raises(TypeError, match=f"^{error}$"):
            run(parcelry.get_sync_item_error_report(2.0, "why"))
    else:
        assert run(parcelry.get_sync_item_error_report(2.0, "why")) is result
    assert generator.calls == [((2, "why"), {})]
    assert fakes.log == []


def test_report_sent_after_session_closed(fakes):
    assert run(parcelry.report_sync_item(1, "m")) is None
    assert fakes.calls("BugReportCreateV3") == [((), [("subject", "Sync Item BUG REPORT"), ("description", "REPORT")])]
    assert fakes.calls("report_bug") == [(("bug-record",), [])]
    assert fakes.names()[-3:] == ["exit", "BugReportCreateV3", "report_bug"]
    assert fakes.depth_at_report == 0


def test_report_uses_rebound_generator(fakes, generator):
    run(parcelry.report_sync_item(True, "m"))
    assert generator.calls == [((1, "m"), {})]
    assert fakes.calls("BugReportCreateV3")[0][1][1] == ("description", "TEXT")


@pytest.mark.parametrize("failing, reported", [("read_sync_item", False), ("report_bug", True)])
def test_report_failures_propagate(fakes, failing, reported):
    fakes.fail[failing] = ConnectionError("down")
    with pytest.raises(ConnectionError, match="down"):
        run(parcelry.report_sync_item(1, "m"))
    assert bool(fakes.calls("report_bug")) is reported
