"""The sync API process as a background service."""
from zentab_service_manager.service import BackgroundService

NAME = "sync_api"
_service = BackgroundService(NAME, "zentab_api.service")


def get_service() -> BackgroundService:
    return _service
