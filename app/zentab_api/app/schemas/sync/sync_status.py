"""What the API reports about the sync services and the agent."""
from datetime import datetime
from enum import Enum
from typing import Optional

from pydantic import BaseModel, ConfigDict


class ServiceStatus(str, Enum):
    NOT_INSTALLED = "not_installed"
    RUNNING = "running"
    NOT_ENABLED = "not_enabled"
    NOT_RUNNING = "not_running"


class TidewellStatus(str, Enum):
    """The agent's stored loop status, plus UNAVAILABLE when it cannot be read."""

    UNAVAILABLE = "unavailable"
    # Same values as zentab_tidewell's SyncLoopStatus, so TidewellStatus(loop_status.value) always works.
    RUNNING = "running"
    STOPPED = "stopped"
    PAUSED = "paused"
    ERROR = "error"


class SyncStatusReadV1(BaseModel):
    tidewell_service: ServiceStatus
    sync_api_service: ServiceStatus
    tidewell_status: TidewellStatus
    sync_iteration_count: int
    last_update: Optional[datetime] = None


class SyncStatusErrors(BaseModel):
    model_config = ConfigDict(from_attributes=True)

    id: int
    message: str
    created_at: datetime
    viewed: bool
