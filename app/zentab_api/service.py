"""The local API process: `python -m zentab_api.service [--loop uvloop|asyncio] [--port N]`.

Serves zentab_api.app.main on 127.0.0.1 with uvicorn until SIGTERM / SIGINT. The port is
free one unless given; once it accepts connections, the address and a fresh key are recorded
in <data dir>/api_address.json for clients. uvicorn's access log and the application's records
go to api.log in the log directory, rotated like the agent's log.
"""
import argparse
import gc
import logging
import logging.handlers
import os
import queue
import signal
import socket
import sys
import time
from pathlib import Path
from typing import List, Optional, Tuple

from zentab_api import LOG_FILE_NAME
from zentab_client.settings.folders import get_log_dir
from zentab_service_manager.logfile import BACKUP_COUNT, LOG_FORMAT, MAX_BYTES

LOOP_ENV = "ZENTAB_API_LOOP"
PORT_ENV = "ZENTAB_API_PORT"
LOOPS = ("uvloop", "asyncio")
DEFAULT_LOOP = "uvloop"
# Below the service manager's wait before SIGKILL, so open requests end first.
GRACEFUL_SHUTDOWN_S = 3

logger = logging.getLogger("zentab_api.service")


class GatheringListener(logging.handlers.QueueListener):
    """A QueueListener whose thread, once it has written all that was queued, rests a moment
    and then takes what has gathered meanwhile.

    Woken at every record, the thread would take the GIL from the event loop at every request
    (two context switches more per request under load, and some tenth of the server's CPU).
    Records reach the file up to `rest_s` later, and `stop()` still writes every one queued
    before it.
    """

    rest_s = 0.05

    def __init__(self, records: "queue.SimpleQueue[logging.LogRecord]", *handlers: logging.Handler) -> None:
        super().__init__(records, *handlers)
        self.records = records

    def dequeue(self, block: bool) -> logging.LogRecord:
        try:
            return self.records.get_nowait()
        except queue.Empty:
            time.sleep(self.rest_s)
            return self.records.get(block)


def configure_logging(level: int = logging.INFO) -> Tuple[Path, logging.handlers.QueueListener]:
    """Root logger -> queue -> RotatingFileHandler on api.log.

    The file is written by the listener's thread, so a slow disk never stalls the event loop.
    Records are formatted as the agent's are: each starts with its timestamp, so the log
    reader keeps a traceback with its record.
    """
    path = get_log_dir() / LOG_FILE_NAME
    file_handler = logging.handlers.RotatingFileHandler(path, maxBytes=MAX_BYTES, backupCount=BACKUP_COUNT,
                                                        encoding="utf-8")
    file_handler.setFormatter(logging.Formatter(LOG_FORMAT))
    records: "queue.SimpleQueue[logging.LogRecord]" = queue.SimpleQueue()
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
        old.close()
    root.addHandler(logging.handlers.QueueHandler(records))
    root.setLevel(level)
    listener = GatheringListener(records, file_handler)
    listener.start()
    return path, listener


def _bind(port: int) -> socket.socket:
    """A listening-ready socket on the loopback address; port 0 takes a free one."""
    from zentab_api.app.address import HOST

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, port))
    sock.set_inheritable(True)
    return sock


def _terminate(signum: int, _frame: object) -> None:
    # Until uvicorn takes the signals over, and when it hands a caught one back after its
    # graceful shutdown: leave through `finally` so the address file is removed.
    raise SystemExit(0)


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m zentab_api.service", description=__doc__.split("\n")[0])
    parser.add_argument("--loop", choices=LOOPS, default=os.environ.get(LOOP_ENV) or DEFAULT_LOOP,
                        help=f"event loop (default ${LOOP_ENV}, else {DEFAULT_LOOP})")
    parser.add_argument("--port", type=int, default=int(os.environ.get(PORT_ENV) or 0),
                        help=f"TCP port on 127.0.0.1 (default ${PORT_ENV}, else a free one)")
    # Arguments of our own only; whatever else the service manager passes is its business.
    args, _ = parser.parse_known_args(argv)
    if args.loop not in LOOPS:
        parser.error(f"${LOOP_ENV} must be one of {', '.join(LOOPS)}")
    return args


def main(argv: Optional[List[str]] = None) -> None:
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, _terminate)
    args = parse_args(argv)
    _, listener = configure_logging()
    try:
        run(args.loop, args.port)
    except Exception:
        # The service manager discards our stderr: the log is where this is read.
        logger.exception("Local API failed")
        raise
    finally:
        logger.info("Local API stopped (pid %d)", os.getpid())
        listener.stop()
        logging.shutdown()


def run(loop: str, port: int) -> None:
    import uvicorn

    from zentab_api.app.address import new_key, remove_address, write_address
    from zentab_api.app.main import create_app

    key = new_key()
    sock = _bind(port)

    class Server(uvicorn.Server):
        async def startup(self, sockets: Optional[List[socket.socket]] = None) -> None:
            await super().startup(sockets=sockets)
            if self.started:  # listening now: clients may come
                # What is made by now lives as long as the process. Moved out of the cyclic
                # collector's sight, it is no longer walked by each full pass, which would stall
                # the loop, and every request in flight, for some 70 ms under load.
                gc.collect()
                gc.freeze()
                write_address(sock.getsockname()[1], key)
                logger.info("Local API listening on http://%s:%d (pid %d, %s loop)",
                            *sock.getsockname(), os.getpid(), loop)

    config = uvicorn.Config(create_app(key), loop=loop, log_config=None, access_log=True,
                            timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_S, server_header=False)
    try:
        Server(config).run(sockets=[sock])
    finally:
        remove_address()
        sock.close()


if __name__ == "__main__":
    main(sys.argv[1:])
