"""The Tidewell agent process: `python -m zentab_tidewell.agent`.

Works through the sync queue in short iterations until SIGTERM / SIGINT. The stored loop
status is owned by whoever starts and stops the agent; the agent only counts iterations.
"""
import asyncio
import logging
import os
import random
import signal
import uuid
from typing import Optional

from sqlalchemy import func, select
from sqlalchemy.ext.asyncio import AsyncSession

from zentab_service_manager.logfile import configure_service_logging
from zentab_tidewell import LOG_FILE_NAME
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import get_db_session_context
from zentab_tidewell.models import SyncItem, SyncSource, utcnow
from zentab_tidewell.models.enums import SyncItemStatus, SyncSourceStatus

INTERVAL_ENV = "ZENTAB_AGENT_INTERVAL"
DEFAULT_INTERVAL_S = 0.3
ITEMS_PER_ITERATION = 2
MAX_ATTEMPTS = 5
ERROR_EVERY = 7
DISCOVER_EVERY = 4
# New files are only "discovered" while the queue is short, so the store stays small.
DISCOVER_BELOW = 8

logger = logging.getLogger("zentab_tidewell.agent")


class TransferError(RuntimeError):
    """A (simulated) remote refused or dropped a transfer."""


def interval_from_env() -> float:
    raw = os.environ.get(INTERVAL_ENV, "")
    try:
        value = float(raw)
    except ValueError:
        return DEFAULT_INTERVAL_S
    return value if value > 0 else DEFAULT_INTERVAL_S


def _check_remote(source: SyncSource, iteration: int) -> None:
    raise TransferError(f"Remote for source '{source.name}' ({source.connector}) "
                        f"refused the connection in iteration {iteration}")


async def _discover(db: AsyncSession, rng: random.Random, iteration: int) -> int:
    """Queues a newly seen file of an active source; returns how many were added."""
    pending = (await db.execute(select(func.count()).select_from(SyncItem)
                                .where(SyncItem.synchronized.is_(False),
                                       SyncItem.attempts < MAX_ATTEMPTS))).scalar_one()
    if pending >= DISCOVER_BELOW:
        return 0
    sources = (await db.execute(select(SyncSource).where(SyncSource.status == SyncSourceStatus.ACTIVE)
                                .order_by(SyncSource.id))).scalars().all()
    if not sources:
        return 0
    source = rng.choice(sources)
    scope = source.default_scope or "default"
    db.add(SyncItem(sync_source_id=source.id, data_identifier=f"{scope}/incoming/file-{iteration:06d}.dat",
                    dataset_uuid=str(uuid.uuid4()), scope_identifier=scope,
                    sync_priority=round(rng.uniform(0, 100), 3), has_priority=False, attempts=0,
                    synchronized=False, status=SyncItemStatus.PENDING, last_update=None, sync_record=None))
    return 1


async def run_iteration(rng: random.Random) -> int:
    """One pass over the queue; returns the new iteration count."""
    async with get_db_session_context(write=True) as db:
        status = await crud_sync_status.get_status(db)
        status.sync_iteration_count += 1
        iteration = status.sync_iteration_count
        status.last_update = utcnow()

        queue = (await db.execute(
            select(SyncItem)
            .where(SyncItem.synchronized.is_(False), SyncItem.attempts < MAX_ATTEMPTS)
            .order_by(SyncItem.has_priority.desc(), SyncItem.sync_priority.desc(), SyncItem.id)
            .limit(ITEMS_PER_ITERATION))).scalars().all()
        done = failed = 0
        for item in queue:
            now = utcnow()
            item.attempts += 1
            roll = rng.random()
            if roll < 0.5:
                item.synchronized, item.status, outcome = True, SyncItemStatus.SYNCHRONIZED, "synchronized"
                done += 1
            elif roll < 0.7 or item.attempts >= MAX_ATTEMPTS:
                item.status, outcome = SyncItemStatus.FAILED, "failed"
                failed += 1
            else:
                item.status, outcome = SyncItemStatus.PENDING, "retry later"
            item.last_update = now
            logs = list((item.sync_record or {}).get("logs", []))
            logs.append(f"{now:%Y-%m-%d %H:%M:%S} attempt {item.attempts}: {outcome}")
            item.sync_record = {"logs": logs}  # new dict: JSON columns do not track mutation

        found = await _discover(db, rng, iteration) if iteration % DISCOVER_EVERY == 0 else 0

        if iteration % ERROR_EVERY == 0:
            source = (await db.execute(select(SyncSource).order_by(SyncSource.id.desc()).limit(1))).scalar_one()
            try:
                _check_remote(source, iteration)
            except TransferError as exc:
                logger.exception("Iteration %d: transfer failed", iteration)
                await crud_sync_status.record_error(db, str(exc))

    logger.info("Iteration %d: %d item(s) worked on, %d synchronized, %d failed, %d discovered",
                iteration, len(queue), done, failed, found)
    return iteration


async def run(stop: Optional[asyncio.Event] = None, interval: Optional[float] = None) -> None:
    stop = stop or asyncio.Event()
    interval = interval or interval_from_env()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    rng = random.Random()
    logger.info("Tidewell agent started (pid %d, interval %.2f s)", os.getpid(), interval)
    while not stop.is_set():
        try:
            await run_iteration(rng)
        except Exception:
            # A locked or damaged store must not kill the agent; try again next time.
            logger.exception("Iteration failed")
        try:
            await asyncio.wait_for(stop.wait(), timeout=interval)
        except asyncio.TimeoutError:
            pass
    logger.info("Tidewell agent stopping")


def main() -> None:
    configure_service_logging(LOG_FILE_NAME)
    asyncio.run(run())
    logging.shutdown()


if __name__ == "__main__":
    main()
