"""Enumerations stored in the Tidewell database (stored by value)."""
from enum import Enum


class SyncLoopStatus(str, Enum):
    RUNNING = "running"
    STOPPED = "stopped"
    PAUSED = "paused"
    ERROR = "error"


class SyncSourceStatus(str, Enum):
    ACTIVE = "active"
    PAUSED = "paused"
    ERROR = "error"


class SyncItemStatus(str, Enum):
    PENDING = "pending"
    SYNCHRONIZED = "synchronized"
    FAILED = "failed"
