"""Errors raised by the client library.

Server unreachable is reported with the built-in ConnectionError (or a subclass);
these are the client's own conditions.
"""
from typing import Optional


class RemoteServerError(Exception):
    """The server answered with an error status; str() is the server's detail message."""

    def __init__(self, detail: str, status: Optional[int] = None) -> None:
        super().__init__(detail)
        self.detail = detail
        self.status = status


class APIKeyInvalidException(Exception):
    """The server does not accept the API token (unknown or revoked)."""


class ServerNotConfiguredError(RuntimeError):
    """No server URL is configured in the user settings."""


class NotLoggedInError(RuntimeError):
    """An operation needs a logged-in user and the settings name none."""


class InsecureServerURLError(ServerNotConfiguredError):
    """The server URL would send credentials in clear text (plain http to a remote host)."""
