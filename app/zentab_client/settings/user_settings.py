"""Per-user settings kept as JSON in the data directory.

Read from disk at every call: other processes (and tests) rewrite the file.
"""
from __future__ import annotations

import json
import logging
import os
import tempfile
from pathlib import Path
from typing import Any, Optional

from pydantic import BaseModel

from zentab_client.settings.folders import get_data_dir

logger = logging.getLogger(__name__)

SETTINGS_FILE_NAME = "settings.json"


class UserSettings(BaseModel):
    user_sub: Optional[str] = None
    server_url: Optional[str] = None


class _Unset:
    def __repr__(self) -> str:
        return "<unset>"


_UNSET: Any = _Unset()


def settings_path() -> Path:
    return get_data_dir() / SETTINGS_FILE_NAME


def get_user_settings() -> UserSettings:
    """The current settings; a missing or unreadable file means nobody logged in, no server."""
    path = settings_path()
    try:
        raw = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        return UserSettings()
    try:
        data = json.loads(raw)
        if not isinstance(data, dict):
            raise ValueError("settings file does not hold a JSON object")
        return UserSettings(
            user_sub=_optional_str(data.get("user_sub")),
            server_url=_optional_str(data.get("server_url")),
        )
    except ValueError as exc:
        # A damaged file must not lock the user out of the app; treat it as empty.
        logger.warning("ignoring unreadable settings file %s: %s", path, exc)
        return UserSettings()


def _optional_str(value: Any) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise ValueError(f"expected a string, got {type(value).__name__}")
    return value


def save_user_settings(*, user_sub: Optional[str] = _UNSET, server_url: Optional[str] = _UNSET) -> UserSettings:
    """Update the given keys (None clears one), leave the others, write atomically."""
    current = get_user_settings()
    if user_sub is not _UNSET:
        current.user_sub = user_sub
    if server_url is not _UNSET:
        current.server_url = server_url.rstrip("/") if server_url else server_url
    path = settings_path()
    fd, tmp_name = tempfile.mkstemp(prefix=".settings-", suffix=".json", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            json.dump(current.model_dump(), fh, indent=2)
        os.replace(tmp_name, path)
    except BaseException:
        try:
            os.unlink(tmp_name)
        except FileNotFoundError:
            pass
        raise
    return current


def login(user_sub: str, firstname: Optional[str], lastname: Optional[str], server_url: Optional[str]) -> UserSettings:
    """Make `user_sub` the logged-in user: write the settings and create/update the user's row."""
    if not user_sub:
        raise ValueError("user_sub must not be empty")
    # Imported here so that reading settings never pulls in the database layer.
    from zentab_client.local.database import get_db_session_context
    from zentab_client.local.model import Users

    with get_db_session_context() as session:
        user = session.query(Users).filter(Users.username == user_sub).one_or_none()
        if user is None:
            session.add(Users(username=user_sub, firstname=firstname, lastname=lastname))
        else:
            user.firstname = firstname
            user.lastname = lastname
    return save_user_settings(user_sub=user_sub, server_url=server_url)


def logout() -> UserSettings:
    """Forget the logged-in user (the server URL stays)."""
    return save_user_settings(user_sub=None)
