"""The native reader against the generic path (and a plain-Python peer) on random rotated logs."""
import collections
import os
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zentab_api.python_api.admin.logs as logs
from twins.logs import _iter_log_records as py_iter_log_records
from twins.logs import _iter_rotated_and_current as py_iter_rotated_and_current

BLOCK = 64 * 1024  # the native reader's block size, read backwards from a file's end

TIMESTAMPS = [b"2024-05-01 10:00:00,001 ", b"1999-12-31 23:59:59,999 ",
              "٢٠٢٤-٠٥-٠١ ١٠:٠٠:٠٠,٠٠١ ".encode(), "２０２４-05-01 10:00:00,001 ".encode(),
              "2024-05-01 10:00:00,00٣ ".encode()]
NEAR_MISSES = [b"2024-05-01 10:00:00,001", b"2024-05-01 10:00:00.001 ", b" 2024-05-01 10:00:00,001 ",
               b"2024-05-01T10:00:00,001 ", b"2024-05-01 10:00", "2024-05-01 10:00:00,00\u00e9 ".encode(),
               b"2024-05-01 10:00:00,0\xff1 "]
TEXTS = [b"INFO started", b"", b"  File \"x.py\", line 3, in f", "caf\u00e9 \u4e2d\u6587 \U0001f600".encode(),
         b"\xff\xfe bad", b"\xe2\x82", b"\xed\xa0\x80 surrogate", b"\x00nul", b"\xef\xbb\xbfbom", b"\t \x0b\x0c"]
ENDINGS = [b"\n", b"\n", b"\r\n", b"\r"]

line = st.builds(lambda start, text, end: start + text + end,
                 st.sampled_from([b""] * 3 + TIMESTAMPS + NEAR_MISSES), st.sampled_from(TEXTS),
                 st.sampled_from(ENDINGS))
log_bytes = st.builds(lambda lines, tail: b"".join(lines) + tail,
                      st.lists(line, max_size=14), st.sampled_from([b"", b"", b"tail no newline", b"\r", b"\xe2"]))
counts = st.one_of(st.integers(-3, 20), st.sampled_from([10**6, 2**63 - 1, 2**63, -(10**30)]))


@pytest.fixture(scope="module")
def log_dir():
    directory = Path(tempfile.mkdtemp())
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(logs, "get_log_dir", lambda: str(directory))
        yield directory
    shutil.rmtree(directory)


def write(log_dir, backup, current):
    backup_path = log_dir / "api.log.1"
    if backup is None:
        backup_path.unlink(missing_ok=True)
    else:
        backup_path.write_bytes(backup)
    (log_dir / "api.log").write_bytes(current)


def generic(n):
    """The module's own pipeline: a deque that is not the original turns the native reader off."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(logs, "deque", lambda records, maxlen: collections.deque(records, maxlen))
        return logs.get_recent_log_lines(logs.LogService.api, n)


def python_peer(log_dir, n):
    if n == 0:
        return []
    pipeline = py_iter_log_records(py_iter_rotated_and_current(log_dir / "api.log"))
    return list(collections.deque(pipeline, maxlen=None if n < 0 else n))


def assert_same(log_dir, n):
    if n >= 2**63:
        for read in (lambda: logs.get_recent_log_lines("api", n), lambda: generic(n)):
            with pytest.raises(OverflowError):
                read()
        return
    native = logs.get_recent_log_lines("api", n)
    assert native == generic(n)
    assert native == python_peer(log_dir, n)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(backup=st.one_of(st.none(), log_bytes), current=log_bytes, n=counts)
def test_native_equals_generic(log_dir, backup, current, n):
    write(log_dir, backup, current)
    assert_same(log_dir, n)


def padded(head, offset, blocks, size_before):
    """head, then one long record, sized so that a block boundary falls `offset` bytes into head."""
    filler_length = blocks * BLOCK + offset - len(head)
    record = b"2024-01-01 00:00:00,000 filler " + b"x" * max(0, filler_length - 32) + b"\n"
    assert size_before + len(head) + len(record) - blocks * BLOCK == size_before + offset
    return head + record


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(prefix=log_bytes, head=log_bytes.filter(lambda b: len(b) > 1), data=st.data(),
       blocks=st.sampled_from([1, 2]), in_backup=st.booleans(), n=st.integers(1, 40))
def test_block_boundaries_inside_lines_and_line_breaks(log_dir, prefix, head, data, blocks, in_backup, n):
    offset = data.draw(st.integers(1, len(head) - 1))
    padded_file = prefix + padded(head, offset, blocks, len(prefix))
    other = data.draw(log_bytes)
    if in_backup:
        write(log_dir, padded_file, other)
    else:
        write(log_dir, data.draw(st.one_of(st.none(), log_bytes)), padded_file)
    assert_same(log_dir, n)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pieces=st.lists(line, min_size=1, max_size=6), repeat=st.integers(300, 700), n=counts)
def test_long_files_across_read_chunks(log_dir, pieces, repeat, n):
    # Long enough for the host's text reader to decode in several chunks.
    write(log_dir, b"".join(pieces) * (repeat // 2), b"".join(reversed(pieces)) * repeat)
    assert_same(log_dir, n)


# The edges of UTF-8: stray continuation bytes, leads that never start a character, leads whose
# second byte has a narrower range (overlong forms, surrogates, past U+10FFFF), cut sequences,
# characters of every width, U+FFFD itself, and ASCII runs long enough for word-wide copies.
UTF8_PIECES = [b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1", b"\xc2", b"\xc3\xa9", b"\xdf\xbf", b"\xe0", b"\xe0\x9f\x80",
               b"\xe0\xa0", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xed\xa0\x80", b"\xef\xbf\xbd", b"\xef\xbf",
               b"\xf0", b"\xf0\x8f\xbf\xbf", b"\xf0\x90\x80", b"\xf0\x9f\x98\x80", b"\xf4\x8f\xbf\xbf",
               b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xfe\xff", "\u00ff\u0100".encode(), "\u20ac".encode(),
               b"x", b"plain ascii, sixteen+", b"0123456789abcdefghijklmnopqrstuv"]
utf8_text = st.lists(st.one_of(st.sampled_from(UTF8_PIECES), st.binary(max_size=5)), max_size=24).map(b"".join)
utf8_line = st.builds(lambda start, text, end: start + text + end,
                      st.sampled_from([b"", TIMESTAMPS[0], TIMESTAMPS[2]]), utf8_text, st.sampled_from(ENDINGS))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(backup=st.one_of(st.none(), st.lists(utf8_line, max_size=8).map(b"".join)),
       current=st.lists(utf8_line, max_size=8).map(b"".join), n=st.sampled_from([-1, 1, 3]))
def test_any_bytes_decode_as_the_host_decodes_them(log_dir, backup, current, n):
    write(log_dir, backup, current)
    assert_same(log_dir, n)
    # The strings are built by hand: equality does not look at the ASCII flag, which must be right too.
    for record in logs.get_recent_log_lines("api", n):
        assert record.isascii() == all(c < "\x80" for c in record)


def outcome(read):
    try:
        return ("records", read())
    except Exception as error:  # noqa: BLE001 - the outcome is compared
        return (type(error), getattr(error, "errno", None), getattr(error, "filename", None), str(error))


def place(path, kind, content):
    """Puts a regular file, a FIFO, a directory or a link in the log's place."""
    if path.is_dir() and not path.is_symlink():
        path.rmdir()
    elif os.path.lexists(path):
        path.unlink()
    if kind == "file":
        path.write_bytes(content)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    elif kind == "link to file":
        target = path.with_name(path.name + ".target")
        target.write_bytes(content)
        os.symlink(target.name, path)
    elif kind == "link to /dev/null":
        os.symlink("/dev/null", path)
    elif kind == "dangling link":
        os.symlink(path.name + ".nowhere", path)


KINDS = ["file", "file", "link to file", "fifo", "directory", "link to /dev/null", "dangling link"]


@pytest.mark.timeout(300, method="thread")  # a reader blocking on a FIFO ends the run instead of hanging it
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(backup=st.sampled_from([None] + KINDS), current=st.sampled_from(KINDS), backup_bytes=log_bytes,
       current_bytes=log_bytes, n=st.integers(-2, 6))
def test_both_paths_fail_alike_on_what_is_not_a_regular_file(log_dir, backup, current, backup_bytes, current_bytes,
                                                            n):
    place(log_dir / "api.log.1", backup, backup_bytes)
    place(log_dir / "api.log", current, current_bytes)
    native = outcome(lambda: logs.get_recent_log_lines("api", n))
    assert native == outcome(lambda: generic(n))
    if native[0] == "records" and n != 0:
        assert native[1] == python_peer(log_dir, n)
