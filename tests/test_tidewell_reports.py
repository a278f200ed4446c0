"""Problem reports on the agent: template keywords, fallbacks, sending, against doubles on the module."""
from datetime import datetime
from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_api.app.schemas.sync.sync_status import ServiceStatus, SyncStatusReadV1, TidewellStatus
from zentab_api.python_api.sync.utils import NO_ERRORS, REPORT_TEMPLATE_TIDEWELL

from test_tidewell_doubles import WHEN, run

KEYWORDS = ["message", "sync_api_service", "tidewell_service", "tidewell_status", "sync_iteration_count",
            "last_update", "errors"]


class Recorded:
    """A status record that logs each attribute read."""

    def __init__(self, log, **values):
        self._log, self._values = log, values

    def __getattr__(self, name):
        self._log.append(("read", name))
        if name not in self._values:
            raise AttributeError(name)
        return self._values[name]


class Template:
    """REPORT_TEMPLATE_TIDEWELL double: its format logs the call and returns `result`."""

    def __init__(self, log, result="the report"):
        self.log, self.result = log, result

    def format(self, *args, **kwargs):
        self.log.append(("format", args, list(kwargs.items())))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Reports:
    def __init__(self, monkeypatch):
        self.log = []
        self.status = SyncStatusReadV1(tidewell_service=ServiceStatus.RUNNING,
                                       sync_api_service=ServiceStatus.NOT_ENABLED,
                                       tidewell_status=TidewellStatus.PAUSED, sync_iteration_count=9,
                                       last_update=WHEN)
        self.errors = ["e1", "e2"]
        self.template = Template(self.log)
        self.report_error = None
        for name in ("get_sync_status", "get_sync_errors", "format_sync_source_errors", "BugReportCreateV3",
                     "report_bug"):
            monkeypatch.setattr(tidewell, name, getattr(self, name))
        monkeypatch.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", self.template)

    async def get_sync_status(self, *args, **kwargs):
        self.log.append(("get_sync_status", args, list(kwargs.items())))
        if isinstance(self.status, BaseException):
            raise self.status
        return self.status

    async def get_sync_errors(self, *args, **kwargs):
        self.log.append(("get_sync_errors", args, list(kwargs.items())))
        return self.errors

    def format_sync_source_errors(self, *args, **kwargs):
        self.log.append(("format_sync_source_errors", args, list(kwargs.items())))
        return "rendered errors"

    def BugReportCreateV3(self, *args, **kwargs):  # noqa: N802 - stands in for the record type
        self.log.append(("BugReportCreateV3", args, list(kwargs.items())))
        return ("bug report", kwargs.get("description"))

    def report_bug(self, *args, **kwargs):
        self.log.append(("report_bug", args, list(kwargs.items())))
        if self.report_error is not None:
            raise self.report_error
        return "ignored"

    def formatted(self):
        (_, args, kwargs), = [e for e in self.log if e[0] == "format"]
        assert args == ()
        return dict(kwargs)


@pytest.fixture
def r(monkeypatch):
    return Reports(monkeypatch)


# ---- generate_tidewell_report --------------------------------------------------------

def test_report_reads_status_then_errors_and_fills_the_seven_keywords_in_order(r):
    assert run(tidewell.generate_tidewell_report("it {broke}")) == "the report"
    assert r.log == [
        ("get_sync_status", (), []),
        ("get_sync_errors", (), [("limit", 10), ("skip", 0)]),
        ("format_sync_source_errors", (r.errors,), []),
        ("format", (), [("message", "it {broke}"), ("sync_api_service", "not_enabled"),
                        ("tidewell_service", "running"), ("tidewell_status", "paused"),
                        ("sync_iteration_count", 9), ("last_update", WHEN.isoformat()),
                        ("errors", "rendered errors")]),
    ]
    assert r.log[2][1][0] is r.errors


def test_report_reads_the_status_fields_in_keyword_order_and_renders_errors_last(r):
    r.status = Recorded(r.log, sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                        tidewell_status=TidewellStatus.RUNNING, sync_iteration_count=1, last_update=WHEN)
    run(tidewell.generate_tidewell_report("m"))
    steps = [e[:2] if e[0] == "read" else e[0] for e in r.log[2:]]
    while steps.count(("read", "tidewell_status")) > 1:  # once for the test, maybe again for the value
        steps.remove(("read", "tidewell_status"))
    assert steps == [("read", "sync_api_service"), ("read", "tidewell_service"), ("read", "tidewell_status"),
                     ("read", "sync_iteration_count"), ("read", "last_update"),
                     ("read", "last_update"), "format_sync_source_errors", "format"]


class Stamp:
    """A last_update that logs its truth test and isoformat call."""

    def __init__(self, log, truth):
        self.log, self.truth = log, truth

    def __bool__(self):
        self.log.append("truth")
        return self.truth

    def isoformat(self, *args):
        self.log.append(("isoformat", args))
        return "STAMP"


@pytest.mark.parametrize("value,expected", [
    (None, "N/A"), (WHEN, WHEN.isoformat()), (datetime(2020, 1, 2, 3, 4, 5, 6), "2020-01-02T03:04:05.000006"),
    (0, "N/A"), ("", "N/A"),
])
def test_last_update_is_its_isoformat_when_true_else_not_available(r, value, expected):
    r.status = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                               tidewell_status=TidewellStatus.RUNNING, sync_iteration_count=0, last_update=value)
    run(tidewell.generate_tidewell_report("m"))
    assert r.formatted()["last_update"] == expected


@pytest.mark.parametrize("truth,expected,calls", [(True, "STAMP", ["truth", ("isoformat", ())]),
                                                  (False, "N/A", ["truth"])])
def test_last_update_truth_is_tested_once_and_isoformat_called_without_arguments(r, truth, expected, calls):
    stamp_log = []
    r.status = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                               tidewell_status=TidewellStatus.RUNNING, sync_iteration_count=0,
                               last_update=Stamp(stamp_log, truth))
    run(tidewell.generate_tidewell_report("m"))
    assert r.formatted()["last_update"] == expected and stamp_log == calls


class RaisingValue:
    def __init__(self, error):
        self.error = error

    @property
    def value(self):
        raise self.error


@pytest.mark.parametrize("loop,expected", [
    (TidewellStatus.UNAVAILABLE, "unavailable"),
    ("plain", "plain"),
    (None, None),
    (SimpleNamespace(value=42), 42),
])
def test_loop_status_takes_value_when_it_has_one_and_is_inserted_unchanged_otherwise(r, loop, expected):
    r.status = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                               tidewell_status=loop, sync_iteration_count=0, last_update=None)
    run(tidewell.generate_tidewell_report("m"))
    assert r.formatted()["tidewell_status"] == expected


def test_loop_status_whose_value_raises_attribute_error_counts_as_having_none(r):
    loop = RaisingValue(AttributeError("value"))
    r.status = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                               tidewell_status=loop, sync_iteration_count=0, last_update=None)
    run(tidewell.generate_tidewell_report("m"))
    assert r.formatted()["tidewell_status"] is loop


def test_loop_status_whose_value_raises_another_error_fails_the_report(r):
    error = RuntimeError("broken enum")
    r.status = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                               tidewell_status=RaisingValue(error), sync_iteration_count=0, last_update=None)
    with pytest.raises(RuntimeError) as caught:
        run(tidewell.generate_tidewell_report("m"))
    assert caught.value is error and not [e for e in r.log if e[0] == "format"]


@pytest.mark.parametrize("field", ["sync_api_service", "tidewell_service"])
def test_service_fields_always_take_value(r, field):
    fields = dict(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                  tidewell_status=TidewellStatus.RUNNING, sync_iteration_count=0, last_update=None)
    fields[field] = "running"
    r.status = SimpleNamespace(**fields)
    with pytest.raises(AttributeError, match="value"):
        run(tidewell.generate_tidewell_report("m"))


@pytest.mark.parametrize("result", [None, "", "text"])
def test_report_text_passes_the_str_check(r, result):
    r.template.result = result
    assert run(tidewell.generate_tidewell_report("m")) == result
    assert run(tidewell.get_tidewell_error_report("m")) == result


class Text(str):
    pass


@pytest.mark.parametrize("result", [42, b"bytes", Text("sub"), ["a"]])
def test_report_text_of_another_type_is_refused(r, result):
    r.template.result = result
    with pytest.raises(TypeError, match=rf"^Expected str, got {type(result).__name__}$"):
        run(tidewell.generate_tidewell_report("m"))


def test_a_none_status_fails_at_its_first_field_and_a_none_error_list_is_rendered(r):
    r.errors = None
    run(tidewell.generate_tidewell_report("m"))
    assert ("format_sync_source_errors", (None,), []) in r.log
    r.status = None
    with pytest.raises(AttributeError, match="sync_api_service"):
        run(tidewell.generate_tidewell_report("m"))


@pytest.mark.parametrize("where", ["status", "template", "missing placeholder"])
def test_report_failures_reach_the_caller_unchanged(r, monkeypatch, where):
    error = OSError(where)
    if where == "status":
        r.status = error
    elif where == "template":
        r.template.result = error
    else:
        monkeypatch.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", "{message} {unknown}")
        error = None
    with pytest.raises((OSError, KeyError)) as caught:
        run(tidewell.generate_tidewell_report("m"))
    if error is not None:
        assert caught.value is error
    else:
        assert caught.value.args == ("unknown",)


# ---- get_tidewell_error_report -------------------------------------------------------

def test_error_report_awaits_the_module_generator_with_the_message(r, monkeypatch):
    seen = []

    async def generate(*args, **kwargs):
        seen.append((args, kwargs))
        return "text"

    monkeypatch.setattr(tidewell, "generate_tidewell_report", generate)
    assert run(tidewell.get_tidewell_error_report("why")) == "text"
    assert seen == [(("why",), {})]


@pytest.mark.parametrize("result", [7, Text("x")])
def test_error_report_checks_what_the_generator_gives(r, monkeypatch, result):
    async def generate(message):
        return result

    monkeypatch.setattr(tidewell, "generate_tidewell_report", generate)
    with pytest.raises(TypeError, match=rf"^Expected str, got {type(result).__name__}$"):
        run(tidewell.get_tidewell_error_report("why"))


def test_error_report_and_generated_report_are_equal_and_neither_sends(r, monkeypatch):
    monkeypatch.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", REPORT_TEMPLATE_TIDEWELL)
    generated = run(tidewell.generate_tidewell_report("why"))
    assert run(tidewell.get_tidewell_error_report("why")) == generated
    assert not [e for e in r.log if e[0] == "report_bug"]


# ---- report_tidewell ---------------------------------------------------------------------

def test_report_sends_one_bug_report_with_subject_and_full_text(r, monkeypatch):
    monkeypatch.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", REPORT_TEMPLATE_TIDEWELL)
    text = run(tidewell.get_tidewell_error_report("sync stalls"))
    r.log.clear()
    assert run(tidewell.report_tidewell("sync stalls")) is None
    sent = [e for e in r.log if e[0] in ("BugReportCreateV3", "report_bug")]
    assert sent == [("BugReportCreateV3", (), [("subject", "Tidewell BUG REPORT"), ("description", text)]),
                    ("report_bug", (("bug report", text),), [])]


def test_report_awaits_the_module_generator_and_sends_whatever_it_gives(r, monkeypatch):
    content = object()

    async def generate(*args, **kwargs):
        r.log.append(("generate", args, kwargs))
        return content

    monkeypatch.setattr(tidewell, "generate_tidewell_report", generate)
    assert run(tidewell.report_tidewell("m")) is None
    assert r.log[0] == ("generate", ("m",), {})
    assert r.log[1] == ("BugReportCreateV3", (), [("subject", "Tidewell BUG REPORT"), ("description", content)])


def test_report_sends_nothing_when_the_report_cannot_be_made(r):
    r.template.result = ValueError("bad template")
    with pytest.raises(ValueError):
        run(tidewell.report_tidewell("m"))
    assert not [e for e in r.log if e[0] in ("BugReportCreateV3", "report_bug")]


@pytest.mark.parametrize("error", [ConnectionRefusedError("no server"), RuntimeError("refused")])
def test_report_bug_failure_reaches_the_caller_as_the_same_object(r, error):
    r.report_error = error
    with pytest.raises(type(error)) as caught:
        run(tidewell.report_tidewell("m"))
    assert caught.value is error
    assert len([e for e in r.log if e[0] == "report_bug"]) == 1


@pytest.mark.parametrize("call", [tidewell.generate_tidewell_report, tidewell.get_tidewell_error_report,
                                  tidewell.report_tidewell])
@pytest.mark.parametrize("message", [None, Text("sub"), b"bytes"])
def test_a_message_that_is_no_exact_str_is_refused_before_any_status_read(r, call, message):
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        call(message)
    assert r.log == []


# ---- the real template ----------------------------------------------------------------------

@settings(max_examples=80, deadline=None)
@given(message=st.text())
def test_message_stands_literally_at_the_top_of_the_real_report(message):
    with pytest.MonkeyPatch.context() as mp:
        reports = Reports(mp)
        mp.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", REPORT_TEMPLATE_TIDEWELL)
        mp.setattr(tidewell, "format_sync_source_errors", lambda errors: NO_ERRORS)
        reports.status = SyncStatusReadV1(tidewell_service=ServiceStatus.NOT_RUNNING,
                                          sync_api_service=ServiceStatus.RUNNING,
                                          tidewell_status=TidewellStatus.UNAVAILABLE, sync_iteration_count=0)
        text = run(tidewell.generate_tidewell_report(message))
    assert text == REPORT_TEMPLATE_TIDEWELL.format(
        message=message, tidewell_service="not_running", sync_api_service="running", tidewell_status="unavailable",
        sync_iteration_count=0, last_update="N/A", errors=NO_ERRORS)
    assert text.startswith(message + "\n\n")


def test_braces_in_the_message_are_not_interpreted():
    message = "{tidewell_status} {0} {{x}} {"
    with pytest.MonkeyPatch.context() as mp:
        reports = Reports(mp)
        mp.setattr(tidewell, "REPORT_TEMPLATE_TIDEWELL", REPORT_TEMPLATE_TIDEWELL)
        text = run(tidewell.generate_tidewell_report(message))
    assert text.startswith(message + "\n\n")
    assert not [e for e in reports.log if e[0] == "report_bug"]


# ---- docstrings --------------------------------------------------------------------------------

ARGS = ["Args:", "    message: A message describing the reason for the report (e.g., error description)."]
RETURNS = ["Returns:", "    The generated report content as a string."]


@pytest.mark.parametrize("name,lines", [
    ("generate_tidewell_report", ["generate_tidewell_report(str message: str) -> str", "",
                                  "Generate a detailed report for the Tidewell.", ""] + ARGS + [""] + RETURNS),
    ("get_tidewell_error_report", ["get_tidewell_error_report(str message: str) -> str", "",
                                   "Get an error report for the Tidewell without sending it.", "",
                                   "This is useful when the server cannot send the report automatically,",
                                   "allowing the user to retrieve and send it manually.", ""] + ARGS + [""] + RETURNS),
    ("report_tidewell", ["report_tidewell(str message: str) -> None", "",
                         "Generate and send a detailed report for the Tidewell to Velmora.", ""] + ARGS),
])
def test_report_docstrings_line_by_line(name, lines):
    assert getattr(tidewell, name).__doc__.split("\n") == lines
