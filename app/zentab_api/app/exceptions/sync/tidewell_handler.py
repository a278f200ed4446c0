"""Errors about starting and stopping the Tidewell agent, and the sync store's lookups."""
from typing import Callable, Dict, Type

from zentab_api.app.exceptions.general_handler import status_handler
from zentab_service_manager.service import ServiceStartError
from zentab_tidewell.exceptions import (StoreBusyError, SyncItemNotFoundError, SyncSourceNotFoundError,
                                        SyncStatusErrorRecordNotFoundError)


class TidewellError(Exception):
    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class TidewellNotInstalledError(TidewellError):
    pass


class TidewellAlreadyRunningError(TidewellError):
    pass


class TidewellAlreadyStoppedError(TidewellError):
    pass


EXCEPTION_HANDLERS: Dict[Type[BaseException], Callable[..., object]] = {
    # Nothing this API can do about a missing installation: unavailable.
    TidewellNotInstalledError: status_handler(503),
    # The agent is already in the requested state.
    TidewellAlreadyRunningError: status_handler(409),
    TidewellAlreadyStoppedError: status_handler(409),
    SyncItemNotFoundError: status_handler(404),
    SyncSourceNotFoundError: status_handler(404),
    SyncStatusErrorRecordNotFoundError: status_handler(404),
    # A bounded wait for the store ran out: nothing is wrong with the request, ask again.
    StoreBusyError: status_handler(503, "The sync store is busy; try again in a moment."),
    # The agent could not be started and recorded (its message says why); it is not left running.
    ServiceStartError: status_handler(503),
}
