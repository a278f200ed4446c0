"""What the logs module binds at import, and how its enumeration and functions look to Python."""
import enum
import re

import pytest

import zentab_api.python_api.admin.logs as logs

MODULE = "zentab_api.python_api.admin.logs"


def test_names_bound_in_order():
    names = [name for name in vars(logs) if not name.startswith("__")]
    assert names == ["re", "deque", "Enum", "Path", "Iterator", "List", "get_log_dir", "API_LOG_FILE_NAME",
                     "TIDEWELL_LOG_FILE_NAME", "LogFileNotFoundError", "LogService", "_LOG_FILE_NAMES",
                     "_RECORD_START", "_iter_rotated_and_current", "_iter_log_records", "get_recent_log_lines"]
    assert (logs.API_LOG_FILE_NAME, logs.TIDEWELL_LOG_FILE_NAME) == ("api.log", "tidewell.log")


def test_log_service_looks_like_its_python_class():
    class LogService(str, enum.Enum):
        api = "api"
        tidewell = "tidewell"

    native = logs.LogService
    assert (native.__module__, native.__qualname__) == (MODULE, "LogService")
    assert native.__mro__[1:] == LogService.__mro__[1:]
    assert native.__doc__ == LogService.__doc__
    assert sorted(vars(native)) == sorted(vars(LogService))
    assert [(m.name, m.value) for m in native] == [("api", "api"), ("tidewell", "tidewell")]
    assert native.api == "api" and native("tidewell") is native.tidewell


def test_file_names_and_pattern():
    assert list(logs._LOG_FILE_NAMES.items()) == [(logs.LogService.api, "api.log"),
                                                   (logs.LogService.tidewell, "tidewell.log")]
    assert type(logs._RECORD_START) is re.Pattern
    assert logs._RECORD_START.pattern == r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} "
    assert logs._RECORD_START.flags == re.UNICODE


@pytest.mark.parametrize("function, doc, annotations", [
    (logs._iter_rotated_and_current, "_iter_rotated_and_current(current: Path) -> Iterator[str]",
     {"current": "Path", "return": "Iterator[str]"}),
    (logs._iter_log_records, "_iter_log_records(raw_lines: Iterator[str]) -> Iterator[str]",
     {"raw_lines": "Iterator[str]", "return": "Iterator[str]"}),
    (logs.get_recent_log_lines, "get_recent_log_lines(service: LogService, int n: int) -> List[str]",
     {"service": "LogService", "n": "int", "return": "List[str]"}),
])
def test_function_metadata(function, doc, annotations):
    assert function.__doc__ == doc
    assert function.__annotations__ == annotations
    assert function.__module__ == MODULE
    assert function.__qualname__ == function.__name__ == doc.split("(")[0]
    assert not hasattr(function, "_is_coroutine")


@pytest.mark.parametrize("call, message", [
    (lambda: logs.get_recent_log_lines("api"), "get_recent_log_lines() takes exactly 2 positional arguments (1 given)"),
    (lambda: logs._iter_log_records(), "_iter_log_records() takes exactly 1 positional argument (0 given)"),
    (lambda: logs._iter_rotated_and_current(1, 2),
     "_iter_rotated_and_current() takes exactly 1 positional argument (2 given)"),
])
def test_argument_counts(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
