"""No reference leaks: 100,000 calls through each success and error path of each function."""
import collections

import pytest
from leakcheck import ALLOWED_GROWTH, CALLS, blocks_grown

import zentab_api.python_api.admin.logs as logs

T1 = "2024-05-01 10:00:00,001 INFO a"


def growth(action, calls=CALLS):
    return blocks_grown(action, calls)


def raises(error, call):
    def action():
        try:
            call()
        except error:
            pass
    return action


@pytest.fixture
def log_dir(tmp_path, monkeypatch):
    (tmp_path / "api.log.1").write_bytes(T1.encode() + b"\r\ncontinued \xff\n" + T1.encode() + b"\n")
    (tmp_path / "api.log").write_bytes(b"\xd9\xa2" + T1[1:].encode() + b"\n" + T1.encode() + b"\n")
    monkeypatch.setattr(logs, "get_log_dir", lambda: tmp_path)
    return tmp_path


def closed_early():
    records = logs._iter_log_records([T1, "x", T1, T1])
    next(records)
    records.close()


def thrown_into():
    records = logs._iter_log_records([T1, T1])
    next(records)
    try:
        records.throw(KeyError)
    except KeyError:
        pass


@pytest.mark.parametrize("action", [
    lambda: list(logs._iter_log_records([T1, "x", "", T1, "y"])),
    closed_early,
    thrown_into,
    raises(AttributeError, lambda: list(logs._iter_log_records([T1, None]))),
    raises(TypeError, lambda: logs._iter_log_records()),
], ids=["records", "closed early", "thrown into", "bad line", "bad call"])
def test_generators_do_not_leak(action):
    assert growth(action) < ALLOWED_GROWTH


@pytest.mark.parametrize("action, calls", [
    (lambda: logs.get_recent_log_lines("api", 2), CALLS),
    (lambda: logs.get_recent_log_lines(logs.LogService.api, -1), CALLS),
    (lambda: logs.get_recent_log_lines("api", 0), CALLS),
    (lambda: list(logs._iter_rotated_and_current(logs.Path(logs.get_log_dir()) / "api.log")), CALLS // 4),
    (raises(logs.LogFileNotFoundError, lambda: logs.get_recent_log_lines("tidewell", 1)), CALLS),
    (raises(TypeError, lambda: logs.get_recent_log_lines("api", "1")), CALLS),
    (raises(KeyError, lambda: logs.get_recent_log_lines("web", 1)), CALLS),
    (raises(OverflowError, lambda: logs.get_recent_log_lines("api", 2**63)), CALLS),
], ids=["native last", "native all", "zero", "reader", "missing file", "bad n", "bad service", "huge n"])
def test_entry_point_does_not_leak(log_dir, action, calls):
    assert growth(action, calls) < ALLOWED_GROWTH


def test_generic_path_does_not_leak(log_dir, monkeypatch):
    monkeypatch.setattr(logs, "deque", lambda it, maxlen: collections.deque(it, maxlen))
    assert growth(lambda: logs.get_recent_log_lines("api", 2), CALLS // 4) < ALLOWED_GROWTH
