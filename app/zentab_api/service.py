"""The local API process: `python -m zentab_api.service [--loop uvloop|asyncio] [--port N]`.

Serves zentab_api.app.main on 127.0.0.1 with uvicorn until SIGTERM / SIGINT. The port is
free one unless given; once it accepts connections, the address and a fresh key are recorded
in <data dir>/api_address.json for clients. uvicorn's access log and the application's records
go to api.log in the log directory, rotated like the agent's log.
"""
import argparse
import copy
import errno
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
from zentab_service_manager.logfile import RepeatFilter, rotating_handler

LOOP_ENV = "ZENTAB_API_LOOP"
PORT_ENV = "ZENTAB_API_PORT"
LOOPS = ("uvloop", "asyncio")
DEFAULT_LOOP = "uvloop"
# Below the service manager's wait before SIGKILL, so open requests end first.
GRACEFUL_SHUTDOWN_S = 3
# uvicorn closes a keep-alive connection idle this long after an answer (the protocol's own
# deadline covers a connection that never sends a whole request).
KEEP_ALIVE_S = 5
# The kernel's queue of connections not yet accepted.
BACKLOG = 128

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


class _Queueing(logging.handlers.QueueHandler):
    """Puts the record on the queue with its message merged and its traceback apart, so the
    file's formatter still tells the (escaped) message from the traceback lines."""

    def prepare(self, record: logging.LogRecord) -> logging.LogRecord:
        record = copy.copy(record)
        record.msg = record.message = record.getMessage()
        record.args = None
        if record.exc_info:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
            record.exc_info = None
        return record


def configure_logging(level: int = logging.INFO) -> Tuple[Path, logging.handlers.QueueListener]:
    """Root logger -> queue -> RotatingFileHandler on api.log (0600, however we were started).

    The file is written by the listener's thread, so a slow disk never stalls the event loop.
    Records are formatted as the agent's are: each starts with its timestamp, so the log
    reader keeps a traceback with its record. Floods of one warning or error are held back
    before they reach the queue.
    """
    os.umask(0o077)  # what the service creates later (the rotated log, the store's WAL) is private too
    file_handler = rotating_handler(LOG_FILE_NAME, hold_back_floods=False)
    records: "queue.SimpleQueue[logging.LogRecord]" = queue.SimpleQueue()
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
        old.close()
    queueing = _Queueing(records)
    queueing.addFilter(RepeatFilter())
    root.addHandler(queueing)
    root.setLevel(level)
    listener = GatheringListener(records, file_handler)
    listener.start()
    return Path(file_handler.baseFilename), listener


class StartupError(Exception):
    """Why the service cannot start, in one line for the console and the log."""


def _bind(port: int) -> socket.socket:
    """A listening-ready socket on the loopback address; port 0 takes a free one.

    IPPROTO_TCP, not 0: asyncio turns TCP_NODELAY on for accepted connections only when the
    listening socket says it is TCP.
    """
    from zentab_api.app.address import HOST

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((HOST, port))
    except OSError as err:
        sock.close()
        if err.errno == errno.EADDRINUSE:
            raise StartupError(f"Cannot listen on {HOST}:{port}: the port is in use "
                               "(choose another with --port, or 0 for a free one)") from None
        raise StartupError(f"Cannot listen on {HOST}:{port}: {err.strerror or err}") from None
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
    log_path, listener = configure_logging()
    started = False
    try:
        _claim_service()
        started = True
        run(args.loop, args.port, log_path)
    except StartupError as err:
        logger.error("Local API not started: %s", err)
        print(f"zentab local API: {err}", file=sys.stderr)
        raise SystemExit(1) from None
    except Exception:
        # The service manager discards our stderr: the log is where this is read.
        logger.exception("Local API failed")
        raise
    finally:
        if started:
            logger.info("Local API stopped (pid %d)", os.getpid())
        listener.stop()
        logging.shutdown()
        if started:
            from zentab_service_manager.services import sync_api

            # Last: whoever waits for the run lock to go (a stop()) finds the log complete.
            sync_api.get_service().release()


def _claim_service() -> None:
    """This process becomes the data directory's sync_api service; refuses if another runs."""
    from zentab_api.app.address import StaleAddressError, read_address
    from zentab_client.settings.folders import get_data_dir
    from zentab_service_manager import ServiceAlreadyRunningError
    from zentab_service_manager.services import sync_api

    try:
        sync_api.get_service().claim()
    except ServiceAlreadyRunningError as err:
        where = ""
        if err.pid is not None:
            try:
                found = read_address()
            except StaleAddressError:
                found = None
            where = f" (pid {err.pid}" + (f", {found.url}" if found is not None else "") + ")"
            how = f"stop it first (Ctrl+C in its terminal, or kill {err.pid})"
        else:
            how = str(err)
        raise StartupError(f"another local API already runs for the data directory {get_data_dir()}{where}; "
                           f"{how}") from None


def run(loop: str, port: int, log_path: Optional[Path] = None) -> None:
    import uvicorn

    from zentab_api.app.address import new_key, remove_address, remove_stale_address, write_address
    from zentab_api.app.main import create_app
    from zentab_api.protocol import GuardedProtocol, connection_limit

    if remove_stale_address():
        logger.warning("Removed the address file of a local API that did not stop cleanly")
    key = new_key()
    sock = _bind(port)
    GuardedProtocol.max_connections = connection_limit()

    class Server(uvicorn.Server):
        async def startup(self, sockets: Optional[List[socket.socket]] = None) -> None:
            await super().startup(sockets=sockets)
            if self.started:  # listening now: clients may come
                # What is made by now lives as long as the process. Moved out of the cyclic
                # collector's sight, it is no longer walked by each full pass, which would
                # stall the loop, and every request in flight, for some 70 ms under load.
                gc.collect()
                gc.freeze()
                path = write_address(sock.getsockname()[1], key)
                url = "http://%s:%d" % sock.getsockname()
                logger.info("Local API listening on %s (pid %d, %s loop)", url, os.getpid(), loop)
                print(f"zentab local API listening on {url} (pid {os.getpid()}, {loop} loop)\n"
                      f"  documentation: {url}/docs\n"
                      f"  address file:  {path} (URL and the key clients send)\n"
                      f"  log:           {log_path or 'api.log'}\n"
                      f"Stop it with Ctrl+C (or kill {os.getpid()}).", flush=True)

    config = uvicorn.Config(create_app(key), loop=loop, log_config=None, access_log=True,
                            http=GuardedProtocol, backlog=BACKLOG, timeout_keep_alive=KEEP_ALIVE_S,
                            timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_S, server_header=False)
    try:
        Server(config).run(sockets=[sock])
    finally:
        remove_address()
        sock.close()


if __name__ == "__main__":
    main(sys.argv[1:])
