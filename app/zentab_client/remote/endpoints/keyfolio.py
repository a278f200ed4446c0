"""API token endpoints of the remote server."""
from __future__ import annotations

from urllib.parse import quote

from pydantic import BaseModel, ConfigDict, Field, ValidationError

from zentab_client.exceptions import RemoteServerError
from zentab_client.remote import http


class APITokenCreated(BaseModel):
    # Validation errors would otherwise quote the input, secret included.
    model_config = ConfigDict(hide_input_in_errors=True)

    uid: str
    name: str
    api_token: str = Field(repr=False)


def api_token_create(name: str) -> APITokenCreated:
    """Ask the configured server for a new token called `name`."""
    payload = http.request("POST", "/api/v1/tokens", body={"name": name})
    try:
        return APITokenCreated.model_validate(payload)
    except ValidationError:
        raise RemoteServerError("Server answered the token request with an unexpected payload") from None


def api_token_delete(api_key_uid: str) -> None:
    """Revoke the token `api_key_uid` on the configured server."""
    http.request("DELETE", "/api/v1/tokens/" + quote(api_key_uid, safe=""))
