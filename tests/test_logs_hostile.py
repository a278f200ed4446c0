"""Files a broken or hostile machine leaves in a log's place, and records of any size.

Each hostile case runs in a child process: a reader that blocks or reads forever would
otherwise hang the whole run. The child times each call and counts its open descriptors.
"""
import collections
import errno
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import zentab_api.python_api.admin.logs as logs

RECORD = "2024-05-01 10:00:00,001 INFO ok"

CHILD = textwrap.dedent('''
    import collections, json, os, sys, time
    from pathlib import Path
    import zentab_api.python_api.admin.logs as logs

    directory, n = Path(sys.argv[1]), int(sys.argv[2])
    logs.get_log_dir = lambda: directory
    outcomes = {}
    for path in ("native", "generic"):
        if path == "generic":
            logs.deque = lambda records, maxlen: collections.deque(records, maxlen)
        before = len(os.listdir("/proc/self/fd"))
        start = time.monotonic()
        try:
            outcome = {"records": logs.get_recent_log_lines("api", n)}
        except OSError as error:
            outcome = {"type": type(error).__name__, "errno": error.errno, "filename": error.filename,
                       "message": str(error)}
        outcome["seconds"] = time.monotonic() - start
        outcome["fds_left"] = len(os.listdir("/proc/self/fd")) - before
        outcomes[path] = outcome
    print(json.dumps(outcomes))
''')


def fifo(path):
    os.mkfifo(path)


def zero_link(path):
    os.symlink("/dev/zero", path)


def directory(path):
    path.mkdir()


def unix_socket(path):
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(path))
    return listener


def regular(path):
    path.write_text(RECORD + "\n")


def relative_link_to_regular(path):
    (path.parent / "real.log").write_text(RECORD + "\n")
    os.symlink("real.log", path)


REFUSED = ("OSError", errno.EINVAL, "Not a regular file")


@pytest.mark.parametrize("n", [3, -1])
@pytest.mark.parametrize("backup, current, expected, names", [
    (None, fifo, REFUSED, "api.log"),
    (fifo, regular, REFUSED, "api.log.1"),
    (regular, fifo, REFUSED, "api.log"),
    (None, zero_link, REFUSED, "api.log"),
    (zero_link, regular, REFUSED, "api.log.1"),
    (None, directory, ("IsADirectoryError", errno.EISDIR, "Is a directory"), "api.log"),
    (directory, regular, ("IsADirectoryError", errno.EISDIR, "Is a directory"), "api.log.1"),
    (None, unix_socket, ("OSError", errno.ENXIO, "No such device or address"), "api.log"),
    (relative_link_to_regular, relative_link_to_regular, None, None),
], ids=lambda value: getattr(value, "__name__", None))
def test_not_a_regular_file_is_refused_at_once_by_both_paths(backup, current, expected, names, n):
    with tempfile.TemporaryDirectory() as tmp:
        directory_path = Path(tmp)
        held = []
        if backup is not None:
            held.append(backup(directory_path / "api.log.1"))
        held.append(current(directory_path / "api.log"))
        try:
            child = subprocess.run([sys.executable, "-c", CHILD, tmp, str(n)], capture_output=True, text=True,
                                   timeout=60)
        finally:
            for listener in held:
                if listener is not None:
                    listener.close()
        assert child.returncode == 0, child.stderr
        outcomes = json.loads(child.stdout)
        native, generic = outcomes["native"], outcomes["generic"]
        for outcome in (native, generic):
            assert outcome["seconds"] < 1
            assert outcome["fds_left"] == 0
        native.pop("seconds"), generic.pop("seconds")
        assert native == generic
        if expected is None:
            assert native["records"] == [RECORD, RECORD]
            return
        kind, code, message = expected
        path = str(directory_path / names)
        assert (native["type"], native["errno"], native["filename"]) == (kind, code, path)
        assert native["message"] == f"[Errno {code}] {message}: '{path}'"


# ---- records of any size --------------------------------------------------------

SPILL = 1024 * 1024  # records longer than this are decoded again from their files
CHUNK = 128 * 1024   # bytes read at a time, forward


@pytest.fixture
def log_dir():
    directory_path = Path(tempfile.mkdtemp())
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(logs, "get_log_dir", lambda: directory_path)
        yield directory_path
    shutil.rmtree(directory_path)


def generic(n):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(logs, "deque", lambda records, maxlen: collections.deque(records, maxlen))
        return logs.get_recent_log_lines("api", n)


def huge_line(size):
    """A record start, then text that puts a multi-byte character, an invalid byte and a
    line break across every chunk edge it can."""
    out = bytearray(b"2024-05-01 10:00:00,001 big ")
    pieces = ["\u00e9".encode(), "\u4e2d".encode(), "\U0001f600".encode(), b"\xff", b"\xe2\x82", b"\r\n", b"\r",
              b"\n"]
    i = 0
    while len(out) < size:
        edge = (len(out) // CHUNK + 1) * CHUNK
        out += b"a" * max(0, edge - len(out) - 1 - i % 3)
        out += pieces[i % len(pieces)]
        i += 1
    return bytes(out)


@pytest.mark.parametrize("layout", ["current", "across", "backup", "both"])
@pytest.mark.parametrize("n", [1, 2, 3, -1])
def test_records_past_the_spill_size_match_the_generic_path(log_dir, layout, n):
    big = huge_line(3 * SPILL)
    small = b"2024-05-01 10:00:01,000 small\r\n"
    files = {
        "current": (small, small + big + b"\n" + small),
        "across": (small + big, b"continued " + big + b"\r\n" + small),  # one record in both files
        "backup": (big + b"\r", small),
        "both": (big, big[: SPILL + 5]),
    }[layout]
    (log_dir / "api.log.1").write_bytes(files[0])
    (log_dir / "api.log").write_bytes(files[1])
    native = logs.get_recent_log_lines("api", n)
    assert native == generic(n)
    assert any(len(record) > SPILL for record in native) or n == 1


@pytest.mark.parametrize("n", [-1, 5])
def test_a_100_mb_single_line_record(log_dir, n):
    body = "x" * 100_000_000
    (log_dir / "api.log").write_text(f"{RECORD}\n2024-05-01 10:00:02,000 {body}")
    records = logs.get_recent_log_lines("api", n)
    assert len(records) == 2 and records[0] == RECORD
    assert len(records[1]) == 24 + len(body) and records[1].startswith("2024-05-01 10:00:02,000 xxx")
    assert records[1].count("x") == len(body)


@pytest.mark.parametrize("line_length, every", [(1, 997), (95, 5003), (96, 50_000), (97, 9), (130, 20_011), (4001, 17)])
@pytest.mark.parametrize("n", [1, 3, 40, 10**6])
def test_walking_back_past_the_window(log_dir, line_length, every, n):
    # More than the 2 MiB kept while walking back: the window slides, and lines whose start
    # lies just below a window's edge are judged with the bytes kept above it.
    stamp = b"2024-05-01 10:00:00,001 "
    lines = [(stamp if i % every == 0 else b"") + b"y" * line_length + (b"\r\n" if i % 3 else b"\n")
             for i in range(3 * 2**20 // (line_length + 2))]
    (log_dir / "api.log.1").write_bytes(b"".join(lines[: len(lines) // 3]))
    (log_dir / "api.log").write_bytes(b"".join(lines[len(lines) // 3:]))
    assert logs.get_recent_log_lines("api", n) == generic(n)


def filler(length, ending=b"\n"):
    """Lines that start no record, `length` bytes in all."""
    line = b"z" * (100 - len(ending)) + ending
    whole, rest = divmod(length, len(line))
    return line * whole + (b"z" * (rest - len(ending)) + ending if rest >= len(ending) else b"z" * rest)


@pytest.mark.parametrize("below", [1, 2, 10, 23, 24, 25, 60, 95, 96, 97, 130])
@pytest.mark.parametrize("ending", [b"\n", b"\r\n", b"\r"])
def test_a_record_starting_just_below_the_window_edge(log_dir, below, ending):
    window = 2 * 2**20  # what is held walking back before the window slides
    stamp = b"2024-05-01 10:00:00,001 "
    # A record before "first": a start missed while walking back would bring it in.
    prefix = stamp + b"zeroth" + ending + filler(1000, ending) + stamp + b"first" + ending + filler(300_000, ending)
    middle = stamp + b"second" + ending
    suffix = middle + filler(window + below - len(middle), ending)
    (log_dir / "api.log").write_bytes(prefix + suffix)
    assert (len(prefix) + len(suffix)) - window == len(prefix) + below  # the edge lies `below` above "second"
    records = logs.get_recent_log_lines("api", 2)
    assert [record[24:30] for record in records] == ["first\n", "second"]
    assert records == generic(2)
