"""Sync items ("parcels"): listing and the few edits a user may make."""
import functools
import operator
import sys
from enum import Enum
from typing import Any, Dict, List, Optional, Tuple, Union

from sqlalchemy import Boolean, Integer, String, bindparam, func, or_, select
from sqlalchemy.ext.asyncio import AsyncSession

from zentab_tidewell.crud._paging import normalise_paging
from zentab_tidewell.db import begin_write
from zentab_tidewell.exceptions import SyncItemNotFoundError
from zentab_tidewell.models import SyncItem, utcnow
from zentab_tidewell.models.enums import SyncItemStatus
from zentab_tidewell.reads import Compiled, get, scalars

PRIORITY_BOOST = sys.float_info.max


class SyncItemSortKey(str, Enum):
    ID = "id"
    DATA_IDENTIFIER = "data_identifier"
    SYNC_PRIORITY = "sync_priority"
    ATTEMPTS = "attempts"
    LAST_UPDATE = "last_update"


class OrderDirection(str, Enum):
    ASC = "asc"
    DESC = "desc"


_SORT_COLUMNS = {
    SyncItemSortKey.ID: SyncItem.id,
    SyncItemSortKey.DATA_IDENTIFIER: SyncItem.data_identifier,
    SyncItemSortKey.SYNC_PRIORITY: SyncItem.sync_priority,
    SyncItemSortKey.ATTEMPTS: SyncItem.attempts,
    SyncItemSortKey.LAST_UPDATE: SyncItem.last_update,
}

UPDATABLE_FIELDS = frozenset({"attempts", "synchronized", "has_priority"})

# Which filters are given, the sort, and whether there is a limit -> the listing's statement.
_Listing = Tuple[bool, bool, bool, bool, bool, SyncItemSortKey, OrderDirection, bool]


@functools.lru_cache(maxsize=None)
def _listing(shape: _Listing) -> Compiled:
    source, synchronized, priority, scope, query, key, direction, limited = shape
    stmt = select(SyncItem)
    if source:
        stmt = stmt.where(SyncItem.sync_source_id == bindparam("source_id", type_=Integer))
    if synchronized:
        stmt = stmt.where(SyncItem.synchronized == bindparam("is_synchronized", type_=Boolean))
    if priority:
        stmt = stmt.where(SyncItem.has_priority == bindparam("has_priority", type_=Boolean))
    if scope:
        stmt = stmt.where(SyncItem.scope_identifier == bindparam("scope_identifier", type_=String))
    if query:
        # instr, not LIKE: no wildcard escaping to get wrong for '%' or '_' in the query.
        needle = bindparam("needle", type_=String)
        stmt = stmt.where(or_(func.instr(func.zt_casefold(SyncItem.data_identifier), needle) > 0,
                              func.instr(func.zt_casefold(SyncItem.dataset_uuid), needle) > 0))
    column = _SORT_COLUMNS[key]
    if direction is OrderDirection.ASC:
        stmt = stmt.order_by(column.asc(), SyncItem.id.asc())
    else:
        stmt = stmt.order_by(column.desc(), SyncItem.id.desc())
    stmt = stmt.offset(bindparam("offset", type_=Integer))
    if limited:
        stmt = stmt.limit(bindparam("limit", type_=Integer))
    return Compiled(SyncItem, stmt)


class CRUDParcelry:
    async def list_parcelry(
        self,
        db: AsyncSession,
        *,
        source_id: Optional[int] = None,
        is_synchronized: Optional[bool] = None,
        has_priority: Optional[bool] = None,
        scope_identifier: Optional[str] = None,
        order_by: Union[SyncItemSortKey, str, None] = None,
        order_direction: Union[OrderDirection, str, None] = None,
        offset: Optional[int] = None,
        limit: Optional[int] = None,
        query: Optional[str] = None,
    ) -> List[SyncItem]:
        """Items matching every given filter (None = no filter), sorted and paged in SQL.

        query: case-insensitive (Unicode casefold) substring of data_identifier or
        dataset_uuid; "" matches everything. scope_identifier matches exactly.
        order_by defaults to id, order_direction to asc; ties are broken by id in the same
        direction, so "desc" is exactly the reverse of "asc". With last_update, items never
        updated (NULL) come first ascending and last descending.
        A negative offset counts as 0, a negative limit means no limit, limit 0 gives [].
        Unknown order_by / order_direction strings raise ValueError.
        """
        key = SyncItemSortKey(order_by) if order_by is not None else SyncItemSortKey.ID
        direction = OrderDirection(order_direction) if order_direction is not None else OrderDirection.ASC
        off, lim = normalise_paging(offset, limit)
        if lim == 0:
            return []

        params: Dict[str, Any] = {"offset": off}
        if source_id is not None:
            params["source_id"] = source_id
        if is_synchronized is not None:
            params["is_synchronized"] = bool(is_synchronized)
        if has_priority is not None:
            params["has_priority"] = bool(has_priority)
        if scope_identifier is not None:
            params["scope_identifier"] = scope_identifier
        if query:
            params["needle"] = query.casefold()
        if lim is not None:
            params["limit"] = lim
        statement = _listing((source_id is not None, is_synchronized is not None, has_priority is not None,
                              scope_identifier is not None, bool(query), key, direction, lim is not None))
        return await scalars(db, statement, params)

    async def read_sync_item(self, db: AsyncSession, sync_item_id: int) -> SyncItem:
        row = await get(db, SyncItem, sync_item_id)
        if row is None:
            raise SyncItemNotFoundError(f"Sync item {sync_item_id} not found")
        return row

    async def update_sync_item(self, db: AsyncSession, sync_item_id: int, **fields: Any) -> SyncItem:
        """Changes attempts, synchronized and/or has_priority; stamps last_update.

        has_priority=True lifts sync_priority to the largest float so the agent takes the
        item next; has_priority=False resets it to 0.0. synchronized also moves the item
        status (True -> synchronized, False -> pending, i.e. queued again).
        Unknown field -> TypeError; negative attempts -> ValueError; unknown id -> SyncItemNotFoundError.
        """
        unknown = sorted(set(fields) - UPDATABLE_FIELDS)
        if unknown:
            raise TypeError(f"update_sync_item() got unexpected field(s): {', '.join(unknown)}")
        if "attempts" in fields:
            attempts = operator.index(fields["attempts"])
            if attempts < 0:
                raise ValueError(f"attempts must not be negative, got {attempts}")
        await begin_write(db)
        row = await self.read_sync_item(db, sync_item_id)
        if "attempts" in fields:
            row.attempts = attempts
        if "synchronized" in fields:
            row.synchronized = bool(fields["synchronized"])
            row.status = SyncItemStatus.SYNCHRONIZED if row.synchronized else SyncItemStatus.PENDING
        if "has_priority" in fields:
            row.has_priority = bool(fields["has_priority"])
            row.sync_priority = PRIORITY_BOOST if row.has_priority else 0.0
        row.last_update = utcnow()
        await db.flush()
        return row


crud_parcelry = CRUDParcelry()
