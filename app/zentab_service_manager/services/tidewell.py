"""The Tidewell sync agent as a background service."""
from zentab_service_manager.service import BackgroundService

NAME = "tidewell"
_service = BackgroundService(NAME, "zentab_tidewell.agent")


def get_service() -> BackgroundService:
    return _service
