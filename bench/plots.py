"""The log reader's speed and memory as pictures (the README shows the ones in docs/).

- logs_tail_time.png: time of get_recent_log_lines against n, from 1 to the whole log, for the
  native reader and the plain-Python peer of bench/logs_tail.py, both axes logarithmic.
- logs_tail_memory.png: peak memory of one call with n = 500 against the size of the rotated
  pair. Measured as the growth of the process's peak resident size during the call, in a fresh
  process per point, so the reader's C++ buffers count as well as the Python objects.

    python bench/plots.py [--megabytes 8] [--repeat 3] [--out build/bench]

They go to build/bench/ (ignored by git) unless --out says otherwise; `make plots` redraws the
README's, in docs/.

The logs are written by bench/logs_tail.py's writer (1 MiB each) and repeated to reach larger sizes.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import matplotlib
import matplotlib.ticker

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import zentab_api.python_api.admin.logs as logs  # noqa: E402
from logs_tail import python_peer, write_logs  # noqa: E402

HERE = Path(__file__).resolve().parent
NAMES = ("api.log.1", "api.log")


def native(path, n):
    return logs.get_recent_log_lines("api", n)


READERS = {"native": native, "python": python_peer}
STYLE = {"native": dict(label="native reader", marker="o", color="tab:blue"),
         "python": dict(label="plain-Python peer", marker="s", color="tab:orange")}


def make_pair(seed_dir, directory, megabytes):
    """A rotated pair of about `megabytes` MiB per file, the 1 MiB seed pair repeated."""
    directory.mkdir(parents=True, exist_ok=True)
    for name in NAMES:
        chunk = (seed_dir / name).read_bytes()
        with open(directory / name, "wb") as f:
            for _ in range(max(1, round(megabytes * 2**20 / len(chunk)))):
                f.write(chunk)
    return directory / "api.log"


def best_time(read, path, n, repeat, budget_s=0.05):
    """Best per-call time over `repeat` batches; a batch repeats the call for at least `budget_s`."""
    best = float("inf")
    for _ in range(repeat):
        calls, start = 0, time.perf_counter()
        while True:
            records = read(path, n)
            del records
            calls += 1
            elapsed = time.perf_counter() - start
            if elapsed >= budget_s:
                break
        best = min(best, elapsed / calls)
    return best


def peak_growth_in_this_process(reader, directory, n):
    """Bytes the peak resident size grows by during one call (runs in a fresh process)."""
    logs.get_log_dir = lambda: directory
    read, path = READERS[reader], directory / "api.log"

    def resident(field):
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise RuntimeError(field)

    before = resident("VmRSS")
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak (VmHWM) to the current size
    read(path, n)
    return resident("VmHWM") - before


def measure_memory(reader, directory, n, runs=2):
    """The smallest growth over `runs` fresh processes: page-level noise only adds."""
    values = []
    for _ in range(runs):
        done = subprocess.run([sys.executable, __file__, "--measure-memory", reader, str(directory), str(n)],
                              capture_output=True, text=True, check=True, cwd=HERE)
        values.append(json.loads(done.stdout))
    return min(values)


def plot_time(results, total, pair_mib, out):
    fig, ax = plt.subplots(figsize=(6.4, 4.2), dpi=110)
    for reader, points in results.items():
        ns, seconds = zip(*points)
        ax.plot(ns, [s * 1e3 for s in seconds], **STYLE[reader])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel(f"n (records asked for; the whole log is {total:,})")
    ax.set_ylabel("time per call (ms)")
    ax.set_title(f"get_recent_log_lines on a 2 × {pair_mib} MiB rotated pair")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def plot_memory(results, n, out):
    fig, ax = plt.subplots(figsize=(6.4, 4.2), dpi=110)
    for reader, points in results.items():
        sizes, peaks = zip(*points)
        ax.plot(sizes, [p / 1024 for p in peaks], **STYLE[reader])
    ax.set_xscale("log", base=2)
    ax.xaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    ax.set_xlabel("size of the rotated pair (MiB, both files)")
    ax.set_ylabel("peak memory of one call (KiB)")
    ax.set_ylim(bottom=0)
    ax.set_title(f"get_recent_log_lines(n={n}): peak memory against file size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=int, default=8, help="size of each file for the time plot (default 8)")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many batches (default 3)")
    parser.add_argument("--out", type=Path, default=HERE.parent / "build" / "bench",
                        help="where the PNGs go (default build/bench/; docs/ holds the README's)")
    parser.add_argument("--measure-memory", nargs=3, metavar=("READER", "DIR", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_memory:
        reader, directory, n = args.measure_memory
        print(json.dumps(peak_growth_in_this_process(reader, Path(directory), int(n))))
        return

    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        seed = tmp / "seed"
        seed.mkdir()
        write_logs(seed, 1)

        directory = tmp / "time"
        path = make_pair(seed, directory, args.megabytes)
        logs.get_log_dir = lambda: directory
        total = len(python_peer(path, -1))
        ns = sorted({1, total} | {k * 10**e for e in range(7) for k in (1, 3) if k * 10**e < total})
        for n in (1, 500, total):
            assert native(path, n) == python_peer(path, n), n
        times = {reader: [] for reader in READERS}
        print(f"time per call, 2 x {args.megabytes} MiB pair, {total} records")
        print(f"{'n':>8} {'native':>12} {'python':>12} {'python/native':>14}")
        for n in ns:
            t = {reader: best_time(read, path, n, args.repeat) for reader, read in READERS.items()}
            for reader in READERS:
                times[reader].append((n, t[reader]))
            print(f"{n:>8} {t['native'] * 1e3:>10.3f}ms {t['python'] * 1e3:>10.1f}ms {t['python'] / t['native']:>13.1f}x",
                  flush=True)
        plot_time(times, total, args.megabytes, args.out / "logs_tail_time.png")

        n = 500
        peaks = {reader: [] for reader in READERS}
        print(f"peak memory of one call, n = {n}")
        print(f"{'pair MiB':>9} {'native':>12} {'python':>12}")
        for megabytes in (1, 2, 4, 8, 16, 32):
            pair = make_pair(seed, tmp / f"memory-{megabytes}", megabytes)
            size = sum((pair.parent / name).stat().st_size for name in NAMES) / 2**20
            peak = {reader: measure_memory(reader, pair.parent, n) for reader in READERS}
            for reader in READERS:
                peaks[reader].append((size, peak[reader]))
            print(f"{size:>9.1f} {peak['native'] / 1024:>9.0f}KiB {peak['python'] / 1024:>9.0f}KiB", flush=True)
            for name in NAMES:
                (pair.parent / name).unlink()
        plot_memory(peaks, n, args.out / "logs_tail_memory.png")
    print(f"wrote {args.out / 'logs_tail_time.png'} and {args.out / 'logs_tail_memory.png'}")


if __name__ == "__main__":
    main()
