"""Configured sync sources."""
from typing import List

from sqlalchemy import select
from sqlalchemy.ext.asyncio import AsyncSession

from zentab_tidewell.exceptions import SyncSourceNotFoundError
from zentab_tidewell.models import SyncSource
from zentab_tidewell.reads import Compiled, get, scalars

_ALL = Compiled(SyncSource, select(SyncSource).order_by(SyncSource.id))


class CRUDSyncSources:
    async def read_sync_source(self, db: AsyncSession, sync_source_id: int) -> SyncSource:
        row = await get(db, SyncSource, sync_source_id)
        if row is None:
            raise SyncSourceNotFoundError(f"Sync source {sync_source_id} not found")
        return row

    async def list_sync_sources(self, db: AsyncSession) -> List[SyncSource]:
        return await scalars(db, _ALL, {})


crud_sync_sources = CRUDSyncSources()
