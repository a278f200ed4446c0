"""The agent's loop status and its error log."""
from typing import Any, List, Optional, Union

from sqlalchemy import CursorResult, select, update
from sqlalchemy.ext.asyncio import AsyncSession

from zentab_tidewell.crud._paging import normalise_paging
from zentab_tidewell.db import begin_write, is_writing
from zentab_tidewell.exceptions import SyncStatusErrorRecordNotFoundError
from zentab_tidewell.models import SyncStatus, SyncStatusError, utcnow
from zentab_tidewell.models.enums import SyncLoopStatus

STATUS_ROW_ID = 1


_STATUS_COLUMNS = select(SyncStatus.__table__.c.status, SyncStatus.__table__.c.sync_iteration_count,
                         SyncStatus.__table__.c.last_update).where(SyncStatus.__table__.c.id == STATUS_ROW_ID)


class CRUDSyncStatus:
    async def get_status(self, db: AsyncSession) -> SyncStatus:
        """The status row, created as STOPPED / 0 / no update if it is missing.

        In a session that only reads, the record is a detached copy of the row: the status
        read is the most frequent call of all, and a plain column select costs a fraction
        of an ORM load. Sessions that write (begin_write) get the persistent row.
        """
        if not is_writing(db):
            found = (await db.execute(_STATUS_COLUMNS)).first()
            if found is not None:
                return SyncStatus(id=STATUS_ROW_ID, status=found[0], sync_iteration_count=found[1],
                                  last_update=found[2])
        row = await db.get(SyncStatus, STATUS_ROW_ID)
        if row is None:
            row = SyncStatus(id=STATUS_ROW_ID, status=SyncLoopStatus.STOPPED,
                             sync_iteration_count=0, last_update=None)
            db.add(row)
            await db.flush()
        return row

    async def update_status(self, db: AsyncSession, status: Union[SyncLoopStatus, str]) -> SyncStatus:
        """Stores the loop status; a plain string must be one of the SyncLoopStatus values."""
        status = SyncLoopStatus(status)
        await begin_write(db)
        row = await self.get_status(db)
        row.status = status
        await db.flush()
        return row

    async def read_sync_status_errors(self, db: AsyncSession, skip: Optional[int], limit: Optional[int],
                                      viewed: Optional[bool] = None) -> List[SyncStatusError]:
        """Newest first (created_at, then id, both descending); paging as normalise_paging."""
        off, lim = normalise_paging(skip, limit)
        if lim == 0:
            return []
        stmt = select(SyncStatusError)
        if viewed is not None:
            stmt = stmt.where(SyncStatusError.viewed == bool(viewed))
        stmt = stmt.order_by(SyncStatusError.created_at.desc(), SyncStatusError.id.desc()).offset(off)
        if lim is not None:
            stmt = stmt.limit(lim)
        return list((await db.execute(stmt)).scalars().all())

    async def set_sync_status_error_viewed(self, db: AsyncSession, error_id: int, flag: bool) -> SyncStatusError:
        await begin_write(db)
        row = await db.get(SyncStatusError, error_id)
        if row is None:
            raise SyncStatusErrorRecordNotFoundError(f"Sync status error record {error_id} not found")
        row.viewed = bool(flag)
        await db.flush()
        return row

    async def mark_all_sync_status_errors_viewed(self, db: AsyncSession) -> int:
        """Returns how many entries went from unviewed to viewed."""
        await begin_write(db)
        result: CursorResult[Any] = await db.execute(  # type: ignore[assignment]
            update(SyncStatusError).where(SyncStatusError.viewed.is_(False)).values(viewed=True)
            .execution_options(synchronize_session="fetch"))
        return int(result.rowcount or 0)

    async def record_error(self, db: AsyncSession, message: str) -> SyncStatusError:
        """Appends an unviewed entry stamped now."""
        await begin_write(db)
        row = SyncStatusError(message=message, created_at=utcnow(), viewed=False)
        db.add(row)
        await db.flush()
        return row


crud_sync_status = CRUDSyncStatus()
