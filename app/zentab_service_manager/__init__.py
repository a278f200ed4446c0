"""Starts, stops and reports on the application's background services."""
from typing import Dict, Iterator, List

from zentab_service_manager.service import (BackgroundService, ServiceAlreadyRunningError, ServiceNotInstalledError,
                                            ServiceStartError)
from zentab_service_manager.status import (EnablementStatus, InstallationStatus, RunningStatus,
                                           ServiceStatusSnapshot)


class ServiceManager:
    """The known services by name."""

    def __init__(self) -> None:
        from zentab_service_manager.services import sync_api, tidewell

        self._services: Dict[str, BackgroundService] = {
            tidewell.NAME: tidewell.get_service(),
            sync_api.NAME: sync_api.get_service(),
        }

    def names(self) -> List[str]:
        return list(self._services)

    def get(self, name: str) -> BackgroundService:
        try:
            return self._services[name]
        except KeyError:
            raise KeyError(f"Unknown service {name!r}; known: {', '.join(self._services)}") from None

    __getitem__ = get

    def __iter__(self) -> Iterator[BackgroundService]:
        return iter(self._services.values())

    def stop_all(self) -> None:
        for service in self._services.values():
            service.stop()


__all__ = ["BackgroundService", "EnablementStatus", "InstallationStatus", "RunningStatus",
           "ServiceAlreadyRunningError", "ServiceManager", "ServiceNotInstalledError", "ServiceStartError",
           "ServiceStatusSnapshot"]
