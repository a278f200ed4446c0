"""All benchmarks, one after the other: call overhead, the log tail reader, the local API
under load, the embedded store, and the log reader's pictures.

    python bench/run.py [--quick] [--docs]

Runs with the interpreter that runs this script (make bench uses .venv's). --quick makes
each one shorter (fewer repetitions, a smaller log pair). The pictures go to build/bench/;
--docs writes them to docs/, where the README shows them.
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="shorter runs, noisier figures")
    parser.add_argument("--docs", action="store_true", help="draw the pictures into docs/ (the README's)")
    args = parser.parse_args()
    pictures = os.path.join(os.path.dirname(HERE), "docs" if args.docs else os.path.join("build", "bench"))
    runs = [
        ["calls.py", "--plot", os.path.join(pictures, "calls.png")]
        + (["--repeat", "3", "--target-ms", "10"] if args.quick else []),
        # The whole log is compared on a 2 x 10 MiB pair; --quick keeps it small and skips the huge records.
        ["logs_tail.py", "--megabytes", "1" if args.quick else "10"]
        + (["--repeat", "3", "--huge", "", "--sparse-mib", "0"] if args.quick else ["--repeat", "3"]),
        ["api_load.py"] + (["--requests", "1000", "--seconds", "20"] if args.quick else []),
        ["store.py"] + (["--repeat", "100", "--concurrent", "200"] if args.quick else []),
        ["plots.py"] + (["--megabytes", "2", "--repeat", "1"] if args.quick else [])
        + (["--out", os.path.join(os.path.dirname(HERE), "docs")] if args.docs else []),
    ]
    failed = 0
    for script, *options in runs:
        print(f"== {script} {' '.join(options)}".rstrip(), flush=True)
        failed |= subprocess.call([sys.executable, os.path.join(HERE, script), *options]) != 0
        print(flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
