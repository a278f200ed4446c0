"""Errors of the admin log viewer."""
from typing import Callable, Dict, Type

from zentab_api.app.exceptions.general_handler import status_handler


class LogFileNotFoundError(Exception):
    """The requested service log does not exist (yet); one message, no errno."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


EXCEPTION_HANDLERS: Dict[Type[BaseException], Callable[..., object]] = {
    LogFileNotFoundError: status_handler(404),
}
