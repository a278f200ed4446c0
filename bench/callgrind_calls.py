"""Instructions per call of one bench/calls.py case by callgrind: native, and its twin run by
CPython and compiled by Cython.

Each side runs the case's loop twice under `valgrind --tool=callgrind`, with a few and with many
calls; the difference in instructions over the difference in calls is the cost of one call,
whatever the interpreter's start-up costs. Counts are repeatable with PYTHONHASHSEED fixed,
whatever else the machine does.

    python bench/callgrind_calls.py get_sync_item "collaborator error" [--calls 200,1200]
    python bench/callgrind_calls.py --all
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SIDES = ("native", "CPython", "Cython")


def run_case(side, name, path, calls):
    """Runs `calls` calls of one case on one side (inside valgrind, from `count`)."""
    sys.path.insert(0, HERE)
    import calls as bench  # noqa: PLC0415

    bench.bind_all()
    for module, case_name, case_path, call, names in bench.CASES:
        if case_name == name and case_path == path:
            f = getattr(bench.implementations(module)[SIDES.index(side)], name)
            loop = bench.make_loop(call, not name.startswith("_"))
            with bench.rebound(module, names):
                loop(50, f)  # warm: caches, free lists, interned names
                loop(calls, f)
            return
    sys.exit(f"no case {name!r} {path!r}")


def count(side, name, path, calls):
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "log")
        subprocess.run(["valgrind", "--tool=callgrind", f"--log-file={log}", "--callgrind-out-file=/dev/null",
                        sys.executable, __file__, "--run", side, name, path, str(calls)],
                       check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(log) as text:
            return int(re.search(r"Collected : (\d+)", text.read()).group(1))


def per_call(side, name, path, few, many):
    return (count(side, name, path, many) - count(side, name, path, few)) / (many - few)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", nargs="?")
    parser.add_argument("path", nargs="?", default="success")
    parser.add_argument("--calls", default="200,1200", help="the two loop lengths (default 200,1200)")
    parser.add_argument("--all", action="store_true", help="every case of bench/calls.py")
    parser.add_argument("--run", nargs=4, metavar=("SIDE", "NAME", "PATH", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        side, name, path, calls = args.run
        run_case(side, name, path, int(calls))
        return
    few, many = map(int, args.calls.split(","))
    if args.all:
        sys.path.insert(0, HERE)
        import calls as bench  # noqa: PLC0415
        cases = [(name, path) for _, name, path, _, _ in bench.CASES]
    else:
        cases = [(args.name, args.path)]
    print(f"{'function':<36} {'path':<19} {'native':>9} {'CPython':>9} {'Cython':>9}")
    for name, path in cases:
        native, python, cython = (per_call(side, name, path, few, many) for side in SIDES)
        print(f"{name:<36} {path:<19} {native:>9,.0f} {python:>9,.0f} {cython:>9,.0f}", flush=True)


if __name__ == "__main__":
    main()
