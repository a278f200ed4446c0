"""Login endpoint of the remote server: a user name and password for a login credential."""
from __future__ import annotations

from pydantic import BaseModel, ConfigDict, Field, ValidationError

from zentab_client.exceptions import RemoteServerError
from zentab_client.remote import http


class LoginAnswer(BaseModel):
    # Validation errors would otherwise quote the input, credential included.
    model_config = ConfigDict(hide_input_in_errors=True)

    user_sub: str
    access_token: str = Field(repr=False)


def log_in(server_url: str, username: str, password: str) -> LoginAnswer:
    """Ask `server_url` for a login credential of `username`.

    Errors are those of http.request: RemoteServerError (401 for a wrong name or password),
    ConnectionError, TimeoutError, ServerNotConfiguredError for a URL we will not send a
    password to.
    """
    payload = http.request("POST", "/api/v1/login", server_url=server_url,
                           body={"username": username, "password": password})
    try:
        return LoginAnswer.model_validate(payload)
    except ValidationError:
        raise RemoteServerError("Server answered the login with an unexpected payload") from None
