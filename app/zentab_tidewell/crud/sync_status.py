"""The agent's loop status and its error log."""
import functools
from typing import Any, Dict, List, Optional, Union

from sqlalchemy import Boolean, CursorResult, Integer, bindparam, select, update
from sqlalchemy.ext.asyncio import AsyncSession

from zentab_tidewell.crud._paging import normalise_paging
from zentab_tidewell.db import begin_write
from zentab_tidewell.exceptions import SyncStatusErrorRecordNotFoundError
from zentab_tidewell.models import SyncStatus, SyncStatusError, utcnow
from zentab_tidewell.models.enums import SyncLoopStatus
from zentab_tidewell.reads import Compiled, get, scalars

STATUS_ROW_ID = 1

@functools.lru_cache(maxsize=None)
def _error_page(viewed: bool, limited: bool) -> Compiled:
    """The error log's statement, by whether the viewed filter and a limit are given."""
    stmt = select(SyncStatusError)
    if viewed:
        stmt = stmt.where(SyncStatusError.viewed == bindparam("viewed", type_=Boolean))
    stmt = stmt.order_by(SyncStatusError.created_at.desc(), SyncStatusError.id.desc())
    stmt = stmt.offset(bindparam("offset", type_=Integer))
    if limited:
        stmt = stmt.limit(bindparam("limit", type_=Integer))
    return Compiled(SyncStatusError, stmt)


class CRUDSyncStatus:
    async def get_status(self, db: AsyncSession) -> SyncStatus:
        """The status row, created as STOPPED / 0 / no update if it is missing."""
        row = await get(db, SyncStatus, STATUS_ROW_ID)
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
        params: Dict[str, Any] = {"offset": off}
        if viewed is not None:
            params["viewed"] = bool(viewed)
        if lim is not None:
            params["limit"] = lim
        return await scalars(db, _error_page(viewed is not None, lim is not None), params)

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
