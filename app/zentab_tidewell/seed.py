"""Initial content of a fresh store, so a new installation shows something real."""
import random
import sys
import uuid
from datetime import datetime, timedelta, timezone
from typing import List, Optional

from sqlalchemy.ext.asyncio import AsyncSession

from zentab_tidewell.models import SyncItem, SyncSource, SyncStatus, SyncStatusError
from zentab_tidewell.models.enums import SyncItemStatus, SyncLoopStatus, SyncSourceStatus

_ERROR_MESSAGES = (
    "Connection to https://dav.example.org/team timed out after 30 s",
    "Connector 'ftp-legacy' is not installed",
    "Permission denied: /srv/field-notes/2023/raw/sensor-12.csv",
    "Checksum mismatch for dataset 7f3c…; the item will be retried",
    "Quota exceeded on remote share {team}",
)


def seed(db: AsyncSession, now: Optional[datetime] = None) -> None:
    """Adds the status row, three sources, their items and a few error entries. Deterministic."""
    rng = random.Random(20240611)
    now = now or datetime.now(timezone.utc)

    db.add(SyncStatus(id=1, status=SyncLoopStatus.STOPPED, sync_iteration_count=0, last_update=None))

    sources = [
        SyncSource(name="Field notes", connector="filesystem", status=SyncSourceStatus.ACTIVE,
                   owner="alice", default_scope="notes", config_data={"root": "/srv/field-notes"}),
        SyncSource(name="Team share", connector="webdav", status=SyncSourceStatus.PAUSED,
                   owner="", default_scope=None,
                   config_data={"url": "https://dav.example.org/team", "user": "team"}),
        # Names a connector that is not registered, as after an uninstalled plugin.
        SyncSource(name="Legacy archive", connector="ftp-legacy", status=SyncSourceStatus.ERROR,
                   owner="bob", default_scope="archive", config_data=None),
    ]
    db.add_all(sources)

    layouts = [
        (sources[0], 18, ["notes", "notes/2024", "sensors"], "notes/{scope}/Report_{n:03d}.csv"),
        (sources[1], 12, ["shared", "Shared/Budget"], "team/{scope}/Plan-{n:03d}.xlsx"),
        (sources[2], 6, ["archive"], "archive/box-{n:03d}/scan%{n}.tif"),
    ]
    items: List[SyncItem] = []
    n = 0
    for source, count, scopes, pattern in layouts:
        for _ in range(count):
            n += 1
            scope = rng.choice(scopes)
            has_priority = rng.random() < 0.2
            synchronized = rng.random() < 0.4
            attempts = rng.randint(1, 3) if synchronized else rng.choice([0, 0, 1, 2, 4])
            failed = not synchronized and attempts >= 4
            status = (SyncItemStatus.SYNCHRONIZED if synchronized
                      else SyncItemStatus.FAILED if failed else SyncItemStatus.PENDING)
            last_update = None if attempts == 0 else now - timedelta(minutes=rng.randint(1, 5000))
            record = None
            if last_update is not None:
                stamp = last_update.strftime("%Y-%m-%d %H:%M:%S")
                logs = [f"{stamp} attempt {a + 1}: transferred {rng.randint(1, 900)} kB" for a in range(attempts)]
                logs.append(f"{stamp} {status.value}")
                record = {"logs": logs}
            items.append(SyncItem(
                source=source,
                data_identifier=pattern.format(scope=scope.split("/")[-1], n=n),
                dataset_uuid=str(uuid.UUID(int=rng.getrandbits(128), version=4)),
                scope_identifier=scope,
                sync_priority=sys.float_info.max if has_priority else round(rng.uniform(0, 100), 3),
                has_priority=has_priority,
                attempts=attempts,
                synchronized=synchronized,
                status=status,
                last_update=last_update,
                sync_record=record,
            ))
    db.add_all(items)

    for i, message in enumerate(_ERROR_MESSAGES):
        db.add(SyncStatusError(message=message, created_at=now - timedelta(hours=len(_ERROR_MESSAGES) - i),
                               viewed=i < 2))
