"""The sync API service process: `python -m zentab_api.service`.

Stands in for the API server's background side: it stays up until SIGTERM / SIGINT and
writes its activity to the API log, which the admin log viewer reads.
"""
import logging
import os
import random
import signal
import threading
from typing import Optional

from zentab_api import LOG_FILE_NAME
from zentab_service_manager.logfile import configure_service_logging

INTERVAL_ENV = "ZENTAB_API_INTERVAL"
DEFAULT_INTERVAL_S = 0.5
SUMMARY_EVERY = 5
TRACEBACK_EVERY = 11

logger = logging.getLogger("zentab_api.service")

_ROUTES = ("GET /v1/sync/status", "GET /v1/sync/items", "PATCH /v1/sync/items/{id}",
           "GET /v1/sync/errors", "POST /v1/sync/errors/viewed")


class UpstreamTimeout(TimeoutError):
    pass


def interval_from_env() -> float:
    try:
        value = float(os.environ.get(INTERVAL_ENV, ""))
    except ValueError:
        return DEFAULT_INTERVAL_S
    return value if value > 0 else DEFAULT_INTERVAL_S


def _call_upstream(tick: int) -> None:
    raise UpstreamTimeout(f"Tidewell store did not answer within 2.0 s (tick {tick})")


def tick(n: int, rng: random.Random) -> None:
    """Logs what one interval of the service looks like."""
    if n % TRACEBACK_EVERY == 0:
        try:
            _call_upstream(n)
        except UpstreamTimeout:
            logger.exception("Request %d failed", n)
        return
    if n % SUMMARY_EVERY == 0:
        lines = [f"Request summary after tick {n}:"]
        lines += [f"  {route:<28} {rng.randint(0, 40):>3} calls" for route in _ROUTES]
        logger.info("\n".join(lines))
        return
    logger.info("Tick %d: %s -> 200 (%d ms)", n, rng.choice(_ROUTES), rng.randint(1, 60))


def run(stop: Optional[threading.Event] = None, interval: Optional[float] = None) -> None:
    stop = stop or threading.Event()
    interval = interval or interval_from_env()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())  # type: ignore[union-attr]
    rng = random.Random()
    logger.info("Sync API service started (pid %d, interval %.2f s)", os.getpid(), interval)
    n = 0
    while not stop.wait(interval):
        n += 1
        tick(n, rng)
    logger.info("Sync API service stopping")


def main() -> None:
    configure_service_logging(LOG_FILE_NAME)
    run()
    logging.shutdown()


if __name__ == "__main__":
    main()
