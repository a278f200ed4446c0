"""Errors raised by the Tidewell store."""


class TidewellStoreError(Exception):
    """Base class of the store's own errors; carries one human-readable message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class SyncStatusErrorRecordNotFoundError(TidewellStoreError):
    """No error-log entry has the requested id."""


class SyncItemNotFoundError(TidewellStoreError):
    """No sync item has the requested id."""


class SyncSourceNotFoundError(TidewellStoreError):
    """No sync source has the requested id."""


class StoreBusyError(TimeoutError):
    """A bounded wait for the store (its write lock, a free connection) ran out; says which."""
