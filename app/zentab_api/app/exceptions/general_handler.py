"""Errors about the remote server, shared by all endpoints, and the common error shape."""


class LocalAPIError(Exception):
    """One human-readable message, also kept as `.message`."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class ServerUnreachableError(LocalAPIError):
    """The remote server could not be reached."""


class ServerOperationError(LocalAPIError):
    """The remote server was reached but the operation failed."""
