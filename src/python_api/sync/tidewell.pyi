from typing import Any, List as List, Optional as Optional

from zentab_api.app.exceptions.sync.tidewell_handler import (
    TidewellAlreadyRunningError as TidewellAlreadyRunningError,
    TidewellAlreadyStoppedError as TidewellAlreadyStoppedError,
    TidewellNotInstalledError as TidewellNotInstalledError,
)
from zentab_api.app.schemas.sync.sync_status import (
    ServiceStatus as ServiceStatus,
    SyncStatusErrors as SyncStatusErrors,
    SyncStatusReadV1 as SyncStatusReadV1,
    TidewellStatus as TidewellStatus,
)
from zentab_api.python_api.sync.utils import (
    REPORT_TEMPLATE_TIDEWELL as REPORT_TEMPLATE_TIDEWELL,
    format_sync_source_errors as format_sync_source_errors,
)
from zentab_client.remote.endpoints.bug_report import (
    BugReportCreateV3 as BugReportCreateV3,
    report_bug as report_bug,
)
from zentab_service_manager import ServiceManager as ServiceManager
from zentab_service_manager.services import sync_api as sync_api, tidewell as tidewell
from zentab_service_manager.status import (
    EnablementStatus as EnablementStatus,
    InstallationStatus as InstallationStatus,
    RunningStatus as RunningStatus,
)
from zentab_tidewell.crud.sync_status import crud_sync_status as crud_sync_status
from zentab_tidewell.db import get_db_session_context as get_db_session_context
from zentab_tidewell.models.enums import SyncLoopStatus as SyncLoopStatus

def _get_service_status_safe(service_module: Any) -> ServiceStatus: ...
def _create_response(status_model: Any) -> SyncStatusReadV1: ...
async def start_tidewell() -> SyncStatusReadV1: ...
async def stop_tidewell() -> SyncStatusReadV1: ...
async def get_sync_status() -> SyncStatusReadV1: ...
async def get_sync_errors(limit: int = 10, skip: int = 0, viewed: Optional[bool] = None) -> List[SyncStatusErrors]: ...
async def set_sync_status_error_viewed(error_id: int, viewed: bool) -> SyncStatusErrors: ...
async def mark_all_sync_status_errors_viewed() -> int: ...
async def generate_tidewell_report(message: str) -> str: ...
async def get_tidewell_error_report(message: str) -> str: ...
async def report_tidewell(message: str) -> None: ...
