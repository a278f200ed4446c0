"""get_recent_log_lines: path, errors, the count rules, rebinding, open files and a live writer."""
import collections
import logging
import logging.handlers
import math
import os
import pathlib
import re
import sys
import threading

import pytest

import zentab_api.python_api.admin.logs as logs
from zentab_api.app.exceptions.admin.logs_handler import LogFileNotFoundError
from zentab_client.settings.folders import get_log_dir

T = "2024-05-01 10:00:0{}.00{} INFO record {}"
RECORDS = [T.format(i, i, i).replace(".", ",") for i in range(5)]


@pytest.fixture
def api_log(data_dir):
    path = get_log_dir() / "api.log"
    (path.parent / "api.log.1").write_text(RECORDS[0] + "\nTraceback (most recent call last):\n  boom\n"
                                           + RECORDS[1] + "\n")
    path.write_text("\n".join(RECORDS[2:]) + "\n")
    return path


_audited_opens = None  # a list while a test records opens; audit hooks stay for the process


def _record_open(event, args):
    if event == "open" and _audited_opens is not None:
        _audited_opens.append(args[1])


sys.addaudithook(_record_open)


@pytest.fixture
def opened_modes():
    """The modes of the "open" audit events: both paths open each file checked (mode None);
    the generic path then wraps the descriptor as a text file ("r")."""
    global _audited_opens
    _audited_opens = []
    yield _audited_opens
    _audited_opens = None


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("service", [logs.LogService.api, "api"])
@pytest.mark.parametrize("n", [0, 3, -1])
def test_missing_log_file_is_reported_before_n_is_looked_at(data_dir, service, n):
    with pytest.raises(LogFileNotFoundError) as caught:
        logs.get_recent_log_lines(service, n)
    assert caught.value.args == (f"No log file found for service 'api' at {get_log_dir() / 'api.log'}",)


@pytest.mark.parametrize("n, expected", [
    (1, RECORDS[-1:]), (2, RECORDS[-2:]), (3, RECORDS[2:]), (4, RECORDS[1:]), (-1, None), (-7, None), (99, None),
    (2.9, RECORDS[-2:]), (True, RECORDS[-1:]),
])
def test_counts(api_log, n, expected):
    everything = [RECORDS[0] + "\nTraceback (most recent call last):\n  boom"] + RECORDS[1:]
    assert logs.get_recent_log_lines(logs.LogService.api, n) == (everything if expected is None else expected)


def test_zero_reads_nothing(api_log, opened_modes):
    assert logs.get_recent_log_lines("api", 0) == []
    assert opened_modes == []


@pytest.mark.parametrize("n, error, message", [
    ("2", TypeError, "Argument 'n' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'n' has incorrect type (expected int, got NoneType)"),
    (math.nan, ValueError, None), (math.inf, OverflowError, None), (1j, TypeError, None),
    (2**63, OverflowError, "Python int too large to convert to C ssize_t"),
])
def test_bad_counts(api_log, n, error, message):
    with pytest.raises(error) as caught:
        logs.get_recent_log_lines("api", n)
    if message:
        assert str(caught.value) == message


def test_unknown_service_fails_after_asking_for_the_directory(monkeypatch):
    asked = []
    monkeypatch.setattr(logs, "get_log_dir", lambda: asked.append(1) or "/nonexistent")
    with pytest.raises(KeyError):
        logs.get_recent_log_lines("web", 1)
    assert asked == [1]


def test_native_reader_serves_the_originals_and_steps_aside_for_rebound_names(api_log, monkeypatch, opened_modes):
    assert logs.get_recent_log_lines("api", 2) == RECORDS[-2:]
    assert opened_modes == [None, None]
    opened_modes.clear()
    monkeypatch.setattr(logs, "_RECORD_START", re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO record [024]"))
    assert logs.get_recent_log_lines("api", 2) == [RECORDS[2] + "\n" + RECORDS[3], RECORDS[4]]
    assert opened_modes == [None, "r", None, "r"]


def test_rebound_pipeline_is_called_as_written(api_log, monkeypatch):
    calls = []

    def fake_records(raw_lines):
        calls.append(("records", type(raw_lines).__name__))
        yield from ["a", "b", "c"]

    def fake_deque(iterable, **kwargs):
        calls.append(("deque", tuple(kwargs.items())))
        return collections.deque(iterable, **kwargs)

    monkeypatch.setattr(logs, "_iter_log_records", fake_records)
    monkeypatch.setattr(logs, "deque", fake_deque)
    assert logs.get_recent_log_lines(logs.LogService.api, 2) == ["b", "c"]
    assert logs.get_recent_log_lines(logs.LogService.api, -2) == ["a", "b", "c"]
    assert calls == [("deque", (("maxlen", 2),)), ("records", "zentab_generator"),
                     ("deque", (("maxlen", None),)), ("records", "zentab_generator")]


def test_rebound_path_and_directory_are_honoured(tmp_path, monkeypatch):
    (tmp_path / "own.log").write_text(RECORDS[0] + "\n")
    monkeypatch.setattr(logs, "get_log_dir", lambda: tmp_path)
    monkeypatch.setattr(logs, "_LOG_FILE_NAMES", {"x": "own.log"})
    monkeypatch.setattr(logs, "Path", lambda d: pathlib.Path(d))
    assert logs.get_recent_log_lines("x", 5) == [RECORDS[0]]


@pytest.mark.parametrize("native", [True, False])
def test_current_file_vanishing_after_the_check(api_log, monkeypatch, native):
    if not native:
        monkeypatch.setattr(logs, "deque", lambda it, maxlen: collections.deque(it, maxlen))
    original_exists = pathlib.Path.exists

    def exists_then_vanish(self):
        found = original_exists(self)
        if self == api_log and found:
            self.unlink()
        return found

    monkeypatch.setattr(pathlib.Path, "exists", exists_then_vanish)
    before = open_fds()
    with pytest.raises(FileNotFoundError):
        logs.get_recent_log_lines("api", 2)
    assert open_fds() == before


@pytest.mark.parametrize("native", [True, False])
def test_no_file_left_open(api_log, monkeypatch, native):
    if not native:
        monkeypatch.setattr(logs, "deque", lambda it, maxlen: collections.deque(it, maxlen))
    before = open_fds()
    for i in range(10_000 if native else 1000):
        logs.get_recent_log_lines("api", i % 7 - 2)
    assert open_fds() == before
    api_log.unlink()
    api_log.mkdir()
    with pytest.raises(IsADirectoryError):
        logs.get_recent_log_lines("api", 2)
    assert open_fds() == before


def test_embedded_service_logs_read_whole(data_dir):
    from zentab_service_manager.logfile import configure_service_logging
    from zentab_tidewell import LOG_FILE_NAME

    configure_service_logging(LOG_FILE_NAME)
    log = logging.getLogger("tidewell.test")
    try:
        log.info("first")
        try:
            raise RuntimeError("broken \u00e9")
        except RuntimeError:
            log.exception("iteration failed")
        log.info("last")
    finally:
        for handler in list(logging.getLogger().handlers):
            logging.getLogger().removeHandler(handler)
            handler.close()
    first, failure, last = logs.get_recent_log_lines(logs.LogService.tidewell, 3)
    assert first.endswith("first") and last.endswith("last")
    assert failure.count("\n") >= 3 and failure.endswith("RuntimeError: broken \u00e9")


def test_reading_while_a_writer_rotates(data_dir, monkeypatch):
    path = get_log_dir() / "api.log"
    handler = logging.handlers.RotatingFileHandler(path, maxBytes=1500, backupCount=1, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    rotations = []
    rollover = handler.doRollover
    monkeypatch.setattr(handler, "doRollover", lambda: rotations.append(1) or rollover())
    writer_log = logging.getLogger("rotation.writer")
    writer_log.propagate = False
    writer_log.addHandler(handler)
    done = threading.Event()

    def write():
        for i in range(15_000):
            writer_log.warning("line %d\r\ncontinued \u00e9\nmore", i)
        done.set()

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # interleave reads with writes and rotations
    writer = threading.Thread(target=write)
    start = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ")
    outcomes = collections.Counter()
    i = 0
    try:
        writer.start()
        while not done.is_set():
            i += 1
            try:
                records = logs.get_recent_log_lines("api", (i % 5) * 3 - 1)
            except (LogFileNotFoundError, FileNotFoundError) as error:
                outcomes[type(error).__name__] += 1
                continue
            outcomes["records"] += 1
            assert all(isinstance(r, str) for r in records)
            assert all(start.match(r) for r in records[1:])
    finally:
        sys.setswitchinterval(switch_interval)
        done.set()
        writer.join()
        writer_log.removeHandler(handler)
        handler.close()
    assert outcomes["records"] > 100
    assert len(rotations) > 300
