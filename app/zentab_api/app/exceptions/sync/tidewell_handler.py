"""Errors about starting and stopping the Tidewell agent."""


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
