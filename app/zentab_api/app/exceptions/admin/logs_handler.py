"""Errors of the admin log viewer."""


class LogFileNotFoundError(Exception):
    """The requested service log does not exist (yet); one message, no errno."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
