"""Authentication errors not tied to one endpoint."""
from zentab_api.app.exceptions.general_handler import LocalAPIError


class NoUserLoggedInError(LocalAPIError):
    """The operation needs a logged-in user."""
