"""get_recent_log_lines: the native reader against the generic path and a plain-Python peer.

Writes a realistic rotated pair with RotatingFileHandler (about 3% of records with real
tracebacks, some non-ASCII text, some CRLF line breaks), then times, in one run, the
native reader, the module's generic path and a plain-Python implementation of the same
algorithm for several n, and the peak memory (tracemalloc) of each.

Then the floor for the whole log on this machine (reading the bytes, decoding each record,
allocating its string), single-line records of 20 to 100 MB, and a sparse file with no
line break at all (time and peak memory, which should be the one record returned).

    python bench/logs_tail.py [--megabytes 10] [--repeat 5] [--huge 20,40,50,80,100] [--sparse-mib 256]
"""
import argparse
import os
import collections
import logging
import logging.handlers
import random
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import zentab_api.python_api.admin.logs as logs

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from twins.logs import _iter_log_records, _iter_rotated_and_current  # noqa: E402

WORDS = ["sync", "item", "dataset", "upload", "chunk", "retry", "connector", "token", "Zürich", "naïve",
         "データ", "résumé", "ok", "done", "queue", "worker"]


def fail(depth, rng):
    if depth:
        fail(depth - 1, rng)
    raise ValueError(f"item {rng.randrange(10**6)} rejected: {' '.join(rng.sample(WORDS, 3))}")


def write_logs(directory, megabytes, seed=1):
    """api.log and api.log.1 of about `megabytes` each, rotated by the handler itself."""
    path = directory / "api.log"
    handler = logging.handlers.RotatingFileHandler(path, maxBytes=megabytes * 1024 * 1024, backupCount=1,
                                                   encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    log = logging.getLogger("bench.api")
    log.propagate = False
    log.addHandler(handler)
    rng = random.Random(seed)
    try:
        while not (path.parent / "api.log.1").exists() or path.stat().st_size < megabytes * 1024 * 1024 * 0.98:
            roll = rng.random()
            if roll < 0.03:
                try:
                    fail(rng.randrange(4), rng)
                except ValueError:
                    log.exception("Iteration failed")
            elif roll < 0.08:
                log.warning("remote said:\r\n  %s\r\n  status %d", " ".join(rng.sample(WORDS, 4)), rng.randrange(600))
            else:
                log.info("%s %s %d", rng.choice(WORDS), " ".join(rng.sample(WORDS, 3)), rng.randrange(10**6))
    finally:
        log.removeHandler(handler)
        handler.close()
    return path


def python_peer(path, n):
    records = _iter_log_records(_iter_rotated_and_current(path))
    return list(collections.deque(records, maxlen=None if n < 0 else n))


def native(path, n):
    return logs.get_recent_log_lines("api", n)


def generic(path, n):
    # Any deque other than the module's own sends the call down the generic path.
    logs.deque = lambda records, maxlen: collections.deque(records, maxlen)
    try:
        return logs.get_recent_log_lines("api", n)
    finally:
        logs.deque = collections.deque


def best_time(read, path, n, repeat):
    return best_times({"read": lambda: read(path, n)}, repeat)["read"]


def peak_memory(read, path, n):
    tracemalloc.start()
    try:
        read(path, n)
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def best_times(calls, repeat):
    """The best time of each call, the calls taking turns so that they meet the same state of
    the process's memory: a whole-log call's time varies by half with how much of its strings'
    memory is fresh (page faults) or left over from the call before."""
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeat):
        for name, call in calls.items():
            start = time.perf_counter()
            result = call()
            best[name] = min(best[name], time.perf_counter() - start)
            del result  # freeing the result is the caller's time, not the reader's
    return best


def whole_log_against_floor(path, repeat):
    """The native reader's whole-log time, and the floor of reading the whole log here: the
    files' bytes read into memory, and one string decoded and allocated per record. The per-call
    cost of the loop driving the decoding is measured on a call that makes nothing (bool
    results are shared objects) and taken off."""
    files = [p for p in (path.with_name(path.name + ".1"), path) if p.exists()]
    buffers = [bytearray(p.stat().st_size) for p in files]
    encoded = [record.encode("utf-8") for record in native(path, -1)]

    def read():
        for name, buffer in zip(files, buffers):
            fd = os.open(name, os.O_RDONLY)
            try:
                os.readv(fd, [buffer])
            finally:
                os.close(fd)

    best = best_times({"native": lambda: native(path, -1), "read": read,
                       "decode": lambda: list(map(bytes.decode, encoded)),
                       "call only": lambda: list(map(bytes.isascii, encoded))}, repeat)
    return best["native"], best["read"], max(0.0, best["decode"] - best["call only"])


def huge_records(directory, sizes, repeat):
    """One single-line record of each size after a short one: n = -1 and n = 5 read it whole."""
    print(f"{'record':>8} {'n=-1':>9} {'n=5':>9} {'peak n=5':>10}")
    logs.get_log_dir = lambda: directory
    path = directory / "api.log"
    times = {}
    for mb in sizes:
        with open(path, "wb") as f:
            f.write(b"2024-05-01 10:00:00,000 first\n2024-05-01 10:00:01,000 ")
            f.write(b"x" * (mb * 1000 * 1000))
        times[mb] = [best_time(native, path, n, repeat) for n in (-1, 5)]
        peak = peak_memory(native, path, 5)
        print(f"{mb:>5} MB {times[mb][0] * 1e3:>7.0f}ms {times[mb][1] * 1e3:>7.0f}ms {peak / 2**20:>7.0f} MiB")
    if 50 in times and 100 in times:
        print(f"100 MB / 50 MB: n=-1 {times[100][0] / times[50][0]:.2f}x, n=5 {times[100][1] / times[50][1]:.2f}x "
              f"(linear: 2)")
    path.unlink()


def sparse_file(directory, mib):
    """A file of `mib` MiB of holes, no line break anywhere: one record, the whole file."""
    logs.get_log_dir = lambda: directory
    path = directory / "api.log"
    with open(path, "wb") as f:
        f.truncate(mib * 2**20)
    start = time.perf_counter()
    tracemalloc.start()
    try:
        records = logs.get_recent_log_lines("api", 5)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    elapsed = time.perf_counter() - start
    assert len(records) == 1 and len(records[0]) == mib * 2**20
    del records
    path.unlink()
    print(f"sparse {mib} MiB, no line break, n=5: {elapsed:.2f}s, peak {peak / 2**20:.0f} MiB "
          f"(the record itself: {mib} MiB)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=int, default=10, help="size of each file (default 10)")
    parser.add_argument("--repeat", type=int, default=5, help="best of this many runs (default 5)")
    parser.add_argument("--huge", default="20,40,50,80,100", help="single-line record sizes in MB ('' for none)")
    parser.add_argument("--sparse-mib", type=int, default=256, help="size of the sparse file (0 for none)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        directory = Path(tmp)
        logs.get_log_dir = lambda: directory
        path = write_logs(directory, args.megabytes)
        small = Path(tmp) / "small"
        small.mkdir()
        write_logs(small, 1, seed=2)
        sizes = [p.stat().st_size / 2**20 for p in (path.with_name("api.log.1"), path)]
        print(f"rotated pair: api.log.1 {sizes[0]:.1f} MiB, api.log {sizes[1]:.1f} MiB")
        print(f"{'n':>6} {'native':>10} {'generic':>10} {'python':>10} {'generic/native':>15} "
              f"{'python/native':>14} {'peak native':>12} {'peak generic':>13}")
        whole = {}
        for n in (1, 500, 10000, -1):
            assert native(path, n) == generic(path, n) == python_peer(path, n)
            repeat = args.repeat if n != -1 else max(2, args.repeat // 2)
            # The whole log's time varies with its strings' page faults: its best needs more tries.
            t_native = best_time(native, path, n, repeat * 4 if n != -1 else max(30, repeat * 4))
            t_generic = best_time(generic, path, n, repeat)
            t_python = best_time(python_peer, path, n, repeat)
            peak_native = peak_memory(native, path, n)
            peak_generic = peak_memory(generic, path, n)
            print(f"{n:>6} {t_native * 1e3:>8.2f}ms {t_generic * 1e3:>8.1f}ms {t_python * 1e3:>8.1f}ms "
                  f"{t_generic / t_native:>14.1f}x {t_python / t_native:>13.1f}x "
                  f"{peak_native / 1024:>9.0f} KiB {peak_generic / 1024:>10.0f} KiB")
            if n == -1:
                whole = {"native": t_native, "python": t_python}
        t_native, t_read, t_decode = whole_log_against_floor(path, max(30, repeat * 2))
        whole["native"] = min(whole["native"], t_native)
        floor = t_read + t_decode
        print(f"whole log (n=-1): native {whole['native'] * 1e3:.1f}ms, python {whole['python'] * 1e3:.1f}ms "
              f"= {whole['python'] / whole['native']:.1f}x the native (goal: at least 10x); floor {floor * 1e3:.1f}ms "
              f"(read {t_read * 1e3:.1f}ms + decode and allocate {t_decode * 1e3:.1f}ms), "
              f"native / floor {t_native / floor:.2f} (goal: at most 1.5)")
        logs.get_log_dir = lambda: small
        small_peak = peak_memory(native, small / "api.log", 500)
        logs.get_log_dir = lambda: directory
        big_peak = peak_memory(native, path, 500)
        print(f"peak memory of the native reader for n=500: {small_peak / 1024:.0f} KiB on a 2 x 1 MiB pair, "
              f"{big_peak / 1024:.0f} KiB on a 2 x {args.megabytes} MiB pair")
        huge = Path(tmp) / "huge"
        huge.mkdir()
        sizes = [int(size) for size in args.huge.split(",") if size]
        if sizes:
            huge_records(huge, sizes, max(1, args.repeat // 2))
        if args.sparse_mib:
            sparse_file(huge, args.sparse_mib)


if __name__ == "__main__":
    main()
