from typing import List as List, Optional as Optional

from zentab_api.app.schemas.sync.connectors import ConnectorRead as ConnectorRead
from zentab_api.app.schemas.sync.parcelry import (
    SyncItemReadSummaryV1 as SyncItemReadSummaryV1,
    SyncItemReadV1 as SyncItemReadV1,
)
from zentab_api.python_api.sync.utils import (
    REPORT_TEMPLATE_SYNC_ITEM as REPORT_TEMPLATE_SYNC_ITEM,
    format_connector_info as format_connector_info,
    format_sync_record_logs as format_sync_record_logs,
)
from zentab_client.remote.endpoints.bug_report import (
    BugReportCreateV3 as BugReportCreateV3,
    report_bug as report_bug,
)
from zentab_tidewell.connectors import get_sync_connectors as get_sync_connectors
from zentab_tidewell.crud.parcelry import (
    OrderDirection as OrderDirection,
    SyncItemSortKey as SyncItemSortKey,
    crud_parcelry as crud_parcelry,
)
from zentab_tidewell.crud.sync_sources import crud_sync_sources as crud_sync_sources
from zentab_tidewell.db import get_db_session_context as get_db_session_context

async def list_parcelry(
    source_id: int,
    is_synchronized: Optional[bool] = None,
    has_priority: Optional[bool] = None,
    scope_identifier: Optional[str] = None,
    query: Optional[str] = None,
    order_by: Optional[SyncItemSortKey] = None,
    order_direction: Optional[OrderDirection] = None,
    offset: int = 0,
    limit: int = 100,
) -> List[SyncItemReadSummaryV1]: ...
async def get_sync_item(sync_item_id: int) -> SyncItemReadV1: ...
async def reset_sync_item(sync_item_id: int) -> None: ...
async def prioritize_sync_item(sync_item_id: int) -> None: ...
async def generate_sync_item_report(sync_item_id: int, message: str) -> str: ...
async def get_sync_item_error_report(sync_item_id: int, message: str) -> str: ...
async def report_sync_item(sync_item_id: int, message: str) -> None: ...
