"""The two generators of logs against their plain-Python twins (twins/logs.py)."""
import gc
import os
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

import zentab_api.python_api.admin.logs as logs
from twins.logs import _iter_log_records as py_iter_log_records
from twins.logs import _iter_rotated_and_current as py_iter_rotated_and_current

T1 = "2024-05-01 10:00:00,001 INFO first"
T2 = "2024-05-01 10:00:01,002 ERROR second"


def open_fds():
    return len(os.listdir("/proc/self/fd"))


# ---- grouping ------------------------------------------------------------------

@pytest.mark.parametrize("lines, records", [
    ([T1, "C1", "C2", T2], [f"{T1}\nC1\nC2", T2]),
    (["C1", "C2", T1], ["C1\nC2", T1]),
    (["C1", "C2"], ["C1\nC2"]),
    ([], []),
    (["", T1], ["", T1]),
    ([T1 + "\n", "\n", "\n"], [T1 + "\n\n"]),
    ([T1, "2024-05-01 10:00:00,001", "2024-05-01 10:00:00.001 x", " " + T2], [f"{T1}\n2024-05-01 10:00:00,001\n"
                                                                           f"2024-05-01 10:00:00.001 x\n {T2}"]),
    ([T1, "٢٠٢٤-٠٥-٠١ ١٠:٠٠:٠٠,٠٠١ arabic-indic digits"], [T1, "٢٠٢٤-٠٥-٠١ ١٠:٠٠:٠٠,٠٠١ arabic-indic digits"]),
    ([T1 + "\r", "C1\r\n"], [f"{T1}\r\nC1\r"]),
    (["9999-99-99 99:99:99,999 ", T1 + "\n\n"], ["9999-99-99 99:99:99,999 ", T1]),
])
def test_grouping_cases(lines, records):
    assert list(logs._iter_log_records(iter(lines))) == records


@settings(max_examples=150, deadline=None)
@given(st.lists(st.one_of(
    st.sampled_from([T1, T2, "", "\n", "C1", "Traceback (most recent call last):", "٢٠٢٤-٠٥-٠١ ١٠:٠٠:٠٠,٠٠١ x"]),
    st.text(alphabet="0123456789-:, \n\r\tx٣", max_size=30)), max_size=25))
def test_grouping_matches_python_peer(lines):
    assert list(logs._iter_log_records(lines)) == list(py_iter_log_records(lines))


def test_grouping_is_lazy_and_reads_as_pulled():
    pulled = []

    def source():
        for line in [T1, "C1", T2, "C2"]:
            pulled.append(line)
            yield line

    records = logs._iter_log_records(source())
    assert pulled == []
    assert next(records) == f"{T1}\nC1"
    assert pulled == [T1, "C1", T2]
    assert list(records) == [f"{T2}\nC2"]


def test_grouping_looks_up_the_pattern_at_each_line(monkeypatch):
    records = logs._iter_log_records(iter(["a", "b", "c"]))
    monkeypatch.setattr(logs, "_RECORD_START", re.compile("b"))
    assert list(records) == ["a", "b\nc"]


@pytest.mark.parametrize("raw, error", [([b"bytes\n"], TypeError), ([None], AttributeError), (5, TypeError)])
def test_grouping_errors_pass_through(raw, error):
    with pytest.raises(error):
        list(logs._iter_log_records(raw))


# ---- the rotated reader ----------------------------------------------------------

@pytest.mark.parametrize("backup, current, lines", [
    (None, b"a\nb", ["a\n", "b"]),
    (b"old1\nold2", b"new\n", ["old1\n", "old2", "new\n"]),
    (b"", b"", []),
    (b"x\r\ny\rz\n", b"\r\n\r", ["x\n", "y\n", "z\n", "\n", "\n"]),
    (b"bad \xff\xe2\x82 end\n", b"\xef\xbb\xbfbom", ["bad \ufffd\ufffd end\n", "\ufeffbom"]),
    (b"x\r", b"\ny", ["x\n", "\n", "y"]),
])
def test_reader_yields_backup_then_current(tmp_path, backup, current, lines):
    if backup is not None:
        (tmp_path / "api.log.1").write_bytes(backup)
    (tmp_path / "api.log").write_bytes(current)
    (tmp_path / "api.log.2").write_bytes(b"never read\n")
    assert list(logs._iter_rotated_and_current(tmp_path / "api.log")) == lines


def test_reader_is_lazy_and_reports_a_missing_current_after_the_backup(tmp_path):
    reader = logs._iter_rotated_and_current(tmp_path / "api.log")
    (tmp_path / "api.log.1").write_text("old\n")
    assert next(reader) == "old\n"
    with pytest.raises(FileNotFoundError):
        next(reader)
    with pytest.raises(StopIteration):
        next(reader)


class RecordingPath:
    """Stands in for a Path: records what the reader asks of it."""

    def __init__(self, calls, name, exists=True, lines=("l1\n", "l2\n"), suppress=False):
        self.calls, self._name, self._exists, self._lines, self._suppress = calls, name, exists, lines, suppress

    @property
    def name(self):
        self.calls.append(("name", self._name))
        return self._name

    @property
    def parent(self):
        self.calls.append(("parent", self._name))
        return self

    def __truediv__(self, other):
        self.calls.append(("/", other))
        return RecordingPath(self.calls, other, self._exists, self._lines, self._suppress)

    def exists(self):
        self.calls.append(("exists", self._name))
        return self._exists

    def open(self, *args, **kwargs):
        self.calls.append(("open", self._name, args, tuple(kwargs.items())))
        return RecordingFile(self.calls, self._name, self._lines, self._suppress)


class RecordingFile:
    def __init__(self, calls, name, lines, suppress):
        self.calls, self.name, self.lines, self.suppress = calls, name, iter(lines), suppress

    def __enter__(self):
        self.calls.append(("enter", self.name))
        return self

    def __exit__(self, *exc):
        self.calls.append(("exit", self.name, exc[0]))
        return self.suppress

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.lines)

    def close(self):
        self.calls.append(("close", self.name))


def run_both(scenario, **path_options):
    """Runs scenario(reader) on the native generator and on the Python peer; returns both call logs."""
    results = []
    for reader_function in (logs._iter_rotated_and_current, py_iter_rotated_and_current):
        calls = []
        reader = reader_function(RecordingPath(calls, "svc.log", **path_options))
        try:
            outcome = ("ok", scenario(reader))
        except Exception as error:  # noqa: BLE001 - the outcome is compared
            outcome = ("error", type(error), str(error))
        del reader
        gc.collect()
        results.append((outcome, calls))
    return results


def consume(reader):
    return list(reader)


def close_after_one(reader):
    return next(reader), reader.close(), list(reader)


def throw_after_one(reader):
    next(reader)
    return reader.throw(KeyError("thrown"))


def send_value(reader):
    return next(reader), reader.send("not None")


def drop_after_one(reader):
    return next(reader)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # both ignore GeneratorExit
@pytest.mark.parametrize("scenario", [consume, close_after_one, throw_after_one, send_value, drop_after_one])
@pytest.mark.parametrize("options", [{}, {"exists": False}, {"suppress": True}])
def test_reader_protocol_matches_python_generator(scenario, options):
    native, python = run_both(scenario, **options)
    assert native == python


def test_reader_closes_its_file_on_early_close_drop_and_error(tmp_path):
    (tmp_path / "api.log.1").write_text("old\n" * 10)
    (tmp_path / "api.log").write_text("new\n")
    before = open_fds()
    reader = logs._iter_rotated_and_current(tmp_path / "api.log")
    next(reader)
    assert open_fds() == before + 1
    reader.close()
    assert open_fds() == before
    reader = logs._iter_rotated_and_current(tmp_path / "api.log")
    next(reader)
    del reader
    assert open_fds() == before
    records = logs._iter_log_records(logs._iter_rotated_and_current(tmp_path / "api.log"))
    next(records)
    records.close()  # releases the reader, which closes its file
    assert open_fds() == before
    (tmp_path / "api.log").unlink()
    (tmp_path / "api.log").mkdir()
    with pytest.raises(IsADirectoryError):
        list(logs._iter_rotated_and_current(tmp_path / "api.log"))
    assert open_fds() == before


def test_generator_object_rules():
    records = logs._iter_log_records(iter([T1, T2]))
    assert iter(records) is records
    with pytest.raises(TypeError, match="just-started generator"):
        records.send(1)
    assert records.send(None) == T1
    assert records.gi_running is False
    with pytest.raises(ValueError, match="thrown"):
        records.throw(ValueError("thrown"))
    with pytest.raises(StopIteration):
        next(records)
    assert records.close() is None

    def reenter():
        yield T1
        yield T2
        next(inner)

    inner = logs._iter_log_records(reenter())
    next(inner)
    with pytest.raises(ValueError, match="generator already executing"):
        next(inner)

    def stops():
        yield T1
        raise StopIteration

    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        list(logs._iter_log_records(stops()))


def test_errors_name_the_generator_in_the_traceback(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        list(logs._iter_rotated_and_current(tmp_path / "missing.log"))
    assert "_iter_rotated_and_current" in [entry.name for entry in caught.traceback]
    assert sys.getrefcount(caught.value) > 0
