"""Run the stand-in server by hand: python -m zentab_server [--port N] [--user NAME ...].

The first line printed is the server's URL; then, for each --user, the password that logs
that user in (`python -m zentab_client login NAME --server URL` asks for it). Runs until
Ctrl-C or SIGTERM.
"""
import argparse
import signal
import sys
import threading
from typing import List, Optional

from zentab_server import start_server


def _stop(signum: int, _frame: object) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zentab_server",
                                     description="Serve the zentab remote stand-in on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="port to bind (default: a free one)")
    parser.add_argument("--user", action="append", default=[], metavar="NAME",
                        help="an account that can log in; its password is printed (repeatable)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if any(not name.strip() for name in args.user):
        parser.error("--user must not be empty")
    try:
        server = start_server(args.port)
    except OSError as err:
        print(f"zentab_server: cannot listen on 127.0.0.1:{args.port}: {err.strerror or err}", file=sys.stderr)
        return 1
    # Both installed here: a process started in the background of a script inherits SIGINT
    # ignored, and the interpreter then leaves it so, which would make Ctrl-C do nothing.
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, _stop)
    try:
        print(server.url, flush=True)
        for name in args.user:
            # Printed here only, on the console of whoever started the server: never in argv,
            # where every local user could read it.
            print(f"password of {name}: {server.add_user(name)}", flush=True)
        if args.user:
            print(f"log in with: {sys.executable} -m zentab_client login {args.user[0]} --server {server.url}",
                  flush=True)
        print("Ctrl-C stops the stand-in server.", flush=True)
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
