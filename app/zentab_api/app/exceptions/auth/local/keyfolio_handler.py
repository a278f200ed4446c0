"""Errors of the local API token endpoints."""
from typing import Callable, Dict, Type

from zentab_api.app.exceptions.general_handler import LocalAPIError, status_handler


class UserAlreadyHasTokenError(LocalAPIError):
    """The user holds a token already; delete it before creating another."""


class TokenNotFoundError(LocalAPIError):
    """The user holds no token."""


EXCEPTION_HANDLERS: Dict[Type[BaseException], Callable[..., object]] = {
    UserAlreadyHasTokenError: status_handler(409),
    TokenNotFoundError: status_handler(404),
}
