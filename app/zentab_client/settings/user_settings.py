"""Per-user settings kept as JSON in the data directory.

Read from disk at every call: other processes (and tests) rewrite the file.
"""
from __future__ import annotations

import hashlib
import json
import logging
import os
import stat
import tempfile
from pathlib import Path
from typing import Any, Dict, Optional

from pydantic import BaseModel

from zentab_client.settings.folders import FILE_MODE, get_data_dir

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


# Far larger than any settings file we write; a bigger one is not ours to parse.
MAX_SETTINGS_BYTES = 1024 * 1024


def _read_raw(path: Path) -> Optional[Dict[str, Any]]:
    """The stored JSON object; None when there is no file; ValueError when it is damaged."""
    try:
        # O_NONBLOCK: a FIFO put in place of the file must not hang every caller.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "rb") as fh:
        if not stat.S_ISREG(os.fstat(fh.fileno()).st_mode):
            raise ValueError("not a regular file")
        raw = fh.read(MAX_SETTINGS_BYTES + 1)
    if len(raw) > MAX_SETTINGS_BYTES:
        raise ValueError(f"larger than {MAX_SETTINGS_BYTES} bytes")
    try:
        data = json.loads(raw.decode("utf-8"))
    except RecursionError:
        raise ValueError("nested too deeply") from None
    except UnicodeDecodeError as exc:
        raise ValueError(f"not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    if not isinstance(data, dict):
        raise ValueError("settings file does not hold a JSON object")
    return data


def _keep_damaged_copy(path: Path) -> Optional[Path]:
    """Copies a damaged settings file aside once per content, so the user can recover it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as fh:
            if not stat.S_ISREG(os.fstat(fh.fileno()).st_mode):
                return None  # a FIFO or device: nothing to keep, and reading could block
            content = fh.read(MAX_SETTINGS_BYTES)
    except OSError:
        return None
    copy = path.with_name(f"{path.name}.damaged-{hashlib.sha256(content).hexdigest()[:12]}")
    if copy.exists():
        return copy
    try:
        fd = os.open(copy, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, FILE_MODE)
        with os.fdopen(fd, "wb") as fh:
            fh.write(content)
    except OSError as exc:
        logger.warning("cannot keep a copy of the damaged settings file %s: %s", path, exc)
        return None
    return copy


def _load() -> Dict[str, Any]:
    """The stored object, or {} when missing or damaged (with a warning and a copy kept aside)."""
    path = settings_path()
    try:
        data = _read_raw(path)
        if data is None:
            return {}
        _optional_str(data.get("user_sub"))
        _optional_str(data.get("server_url"))
        return data
    except (ValueError, OSError) as exc:
        # A damaged file must not lock the user out of the app; treat it as empty.
        copy = _keep_damaged_copy(path)
        logger.warning("ignoring unreadable settings file %s (%s); %s", path, exc,
                       f"a copy is kept as {copy}" if copy else "no copy could be kept")
        return {}


def get_user_settings() -> UserSettings:
    """The current settings; a missing or unreadable file means nobody logged in, no server."""
    data = _load()
    return UserSettings(user_sub=data.get("user_sub"), server_url=data.get("server_url"))


def _optional_str(value: Any) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise ValueError(f"expected a string, got {type(value).__name__}")
    return value


def save_user_settings(*, user_sub: Optional[str] = _UNSET, server_url: Optional[str] = _UNSET) -> UserSettings:
    """Update the given keys (None clears one), leave the others, write atomically.

    Keys this version does not know are kept, so an older app does not erase a newer one's.
    """
    data = _load()
    if user_sub is not _UNSET:
        data["user_sub"] = user_sub
    if server_url is not _UNSET:
        data["server_url"] = server_url.rstrip("/") if server_url else server_url
    current = UserSettings(user_sub=data.get("user_sub"), server_url=data.get("server_url"))
    data.update(current.model_dump())
    path = settings_path()
    # mkstemp creates the file 0600.
    fd, tmp_name = tempfile.mkstemp(prefix=".settings-", suffix=".json", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            json.dump(data, fh, indent=2)
        os.replace(tmp_name, path)
    except BaseException:
        try:
            os.unlink(tmp_name)
        except FileNotFoundError:
            pass
        raise
    return current


def login(user_sub: str, firstname: Optional[str], lastname: Optional[str], server_url: Optional[str],
          access_token: Optional[str] = None) -> UserSettings:
    """Make `user_sub` the logged-in user: write the settings and create/update the user's row.

    access_token: the credential the login gave (the server asks for it before it issues an
    API token); None keeps the one stored for this user, if any.
    """
    if not user_sub:
        raise ValueError("user_sub must not be empty")
    # Imported here so that reading settings never pulls in the database layer.
    from zentab_client.local.database import get_db_session_context
    from zentab_client.local.model import LoginCredentials, Users

    with get_db_session_context() as session:
        user = session.query(Users).filter(Users.username == user_sub).one_or_none()
        if user is None:
            session.add(Users(username=user_sub, firstname=firstname, lastname=lastname))
        else:
            user.firstname = firstname
            user.lastname = lastname
        if access_token:
            session.merge(LoginCredentials(username=user_sub, access_token=access_token))
    return save_user_settings(user_sub=user_sub, server_url=server_url)


def login_credential(user_sub: Optional[str]) -> Optional[str]:
    """The credential stored at the login of `user_sub`, or None."""
    if not user_sub:
        return None
    from zentab_client.local.database import get_db_session_context
    from zentab_client.local.model import LoginCredentials

    with get_db_session_context() as session:
        row = session.get(LoginCredentials, user_sub)
        return row.access_token if row is not None else None


def logout() -> UserSettings:
    """Forget the logged-in user and the credential of their login (the server URL stays)."""
    user_sub = get_user_settings().user_sub
    if user_sub:
        from zentab_client.local.database import get_db_session_context
        from zentab_client.local.model import LoginCredentials

        with get_db_session_context() as session:
            session.query(LoginCredentials).filter(LoginCredentials.username == user_sub).delete()
    return save_user_settings(user_sub=None)
