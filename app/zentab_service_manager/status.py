"""What a service looks like from the outside."""
from dataclasses import dataclass
from enum import Enum


class InstallationStatus(str, Enum):
    INSTALLED = "installed"
    NOT_INSTALLED = "not_installed"


class RunningStatus(str, Enum):
    RUNNING = "running"
    STOPPED = "stopped"


class EnablementStatus(str, Enum):
    ENABLED = "enabled"
    DISABLED = "disabled"


@dataclass(frozen=True)
class ServiceStatusSnapshot:
    installation_status: InstallationStatus
    running_status: RunningStatus
    enablement_status: EnablementStatus
