"""The logged-in user's API token: naming, storing, checking against the server."""
from __future__ import annotations

import getpass
import logging
import platform
import secrets
import socket
from typing import Dict, Optional

from zentab_client.exceptions import (
    APIKeyInvalidException,
    NotLoggedInError,
    RemoteServerError,
    ServerNotConfiguredError,
)
from zentab_client.local.dao.api_token import dao_api_token
from zentab_client.local.database import get_db_session_context
from zentab_client.local.models.keyfolio import APIKeyInfo
from zentab_client.remote import http
from zentab_client.settings.user_settings import get_user_settings

logger = logging.getLogger(__name__)

# user_sub -> the token last stored for that user in this process
TOKEN_CACHE: Dict[str, APIKeyInfo] = {}


def _local_user_name() -> str:
    try:
        return getpass.getuser()
    except Exception:  # no login name in some service environments
        return "user"


def generate_token_name() -> str:
    """A name that tells the user which machine a token belongs to, e.g. 'ada@myhost (Linux) a1b2'."""
    user = get_user_settings().user_sub or _local_user_name()
    host = socket.gethostname() or "localhost"
    system = platform.system() or "unknown OS"
    return f"{user}@{host} ({system}) {secrets.token_hex(2)}"


def store_API_token(info: APIKeyInfo) -> None:
    """Keep `info` as the logged-in user's token, on disk and in TOKEN_CACHE."""
    user_sub = get_user_settings().user_sub
    if not user_sub:
        raise NotLoggedInError("No user is logged in; cannot store an API token")
    with get_db_session_context() as session:
        dao_api_token.write(user_sub, info.model_dump(), session)
    TOKEN_CACHE[user_sub] = info
    logger.info("stored API token %s (%s) for user %s", info.uid, info.name, user_sub)


def test_api_token(user_sub: Optional[str], info: APIKeyInfo) -> None:
    """Ask the token's server whether it accepts it; returns None when it does.

    Raises APIKeyInvalidException on 401, ConnectionError when the server cannot be
    reached, RemoteServerError for any other error answer.
    """
    if not info.server_url:
        raise ServerNotConfiguredError(f"API token {info.uid} has no server URL")
    try:
        answer = http.request("POST", "/api/v1/tokens/check", server_url=info.server_url, bearer=info.api_token)
    except RemoteServerError as err:
        if err.status == 401:
            raise APIKeyInvalidException(
                f"API token {info.uid} ({info.name}) of user {user_sub} is not accepted by {info.server_url}: {err}"
            ) from None
        raise
    # Only the server's explicit yes counts: a bare 200 may come from a proxy or a captive portal.
    if isinstance(answer, dict) and answer.get("valid") is False:
        raise APIKeyInvalidException(f"API token {info.uid} ({info.name}) of user {user_sub} is not accepted by "
                                     f"{info.server_url}")
    if not (isinstance(answer, dict) and answer.get("valid") is True):
        raise RemoteServerError(f"Server {info.server_url} did not confirm API token {info.uid}")


# Not a test function, whatever pytest's name heuristics think.
test_api_token.__test__ = False  # type: ignore[attr-defined]
