"""Authentication errors not tied to one endpoint."""
from typing import Callable, Dict, Type

from zentab_api.app.exceptions.general_handler import LocalAPIError, status_handler


class NoUserLoggedInError(LocalAPIError):
    """The operation needs a logged-in user."""


# The application's state, not the request, is wrong: log in first.
EXCEPTION_HANDLERS: Dict[Type[BaseException], Callable[..., object]] = {
    NoUserLoggedInError: status_handler(409),
}
