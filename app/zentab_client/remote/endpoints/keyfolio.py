"""API token endpoints of the remote server."""
from __future__ import annotations

from urllib.parse import quote

from pydantic import BaseModel, ConfigDict, Field, ValidationError

from typing import Optional

from sqlalchemy import select

from zentab_client.exceptions import NotLoggedInError, RemoteServerError
from zentab_client.remote import http
from zentab_client.settings.user_settings import get_user_settings, login_credential


class APITokenCreated(BaseModel):
    # Validation errors would otherwise quote the input, secret included.
    model_config = ConfigDict(hide_input_in_errors=True)

    uid: str
    name: str
    api_token: str = Field(repr=False)


def _login_credential() -> str:
    user_sub = get_user_settings().user_sub
    credential = login_credential(user_sub)
    if not credential:
        raise NotLoggedInError(f"No login credential is stored for user {user_sub!r}; log in to the server again")
    return credential


def _stored_token_secret(api_key_uid: str) -> Optional[str]:
    from zentab_client.local.database import get_db_session_context
    from zentab_client.local.model import Users

    with get_db_session_context() as session:
        for token in session.scalars(select(Users.api_token).where(Users.api_token.isnot(None))):
            if isinstance(token, dict) and token.get("uid") == api_key_uid and isinstance(token.get("api_token"), str):
                return token["api_token"]
    return None


def api_token_create(name: str) -> APITokenCreated:
    """Ask the configured server for a new token called `name`, with the login's credential."""
    server_url = http.configured_server_url()
    payload = http.request("POST", "/api/v1/tokens", server_url=server_url, body={"name": name},
                           bearer=_login_credential())
    try:
        return APITokenCreated.model_validate(payload)
    except ValidationError:
        raise RemoteServerError("Server answered the token request with an unexpected payload") from None


def api_token_delete(api_key_uid: str) -> None:
    """Revoke the token `api_key_uid` on the configured server.

    Authenticates with the login's credential, else with the token itself. A 404 (the
    server does not know the token) counts as revoked: the user can still remove a token
    the server has forgotten.
    """
    server_url = http.configured_server_url()
    bearer = login_credential(get_user_settings().user_sub) or _stored_token_secret(api_key_uid)
    try:
        http.request("DELETE", "/api/v1/tokens/" + quote(api_key_uid, safe=""), server_url=server_url,
                     bearer=bearer)
    except RemoteServerError as err:
        if err.status != 404:
            raise
