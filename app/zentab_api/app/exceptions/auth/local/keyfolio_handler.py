"""Errors of the local API token endpoints."""
from zentab_api.app.exceptions.general_handler import LocalAPIError


class UserAlreadyHasTokenError(LocalAPIError):
    """The user holds a token already; delete it before creating another."""


class TokenNotFoundError(LocalAPIError):
    """The user holds no token."""
