"""Shared fixtures: a private data directory and a loopback stand-in of the remote server."""
import pytest

from zentab_client.local.database import dispose_engines
from zentab_client.remote.keyfolio import TOKEN_CACHE
from zentab_client.settings.user_settings import login
from zentab_server import start_server


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """A fresh ZENTAB_DATA_DIR for this test; client engines and token cache are reset afterwards."""
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    yield tmp_path
    TOKEN_CACHE.clear()
    dispose_engines()


@pytest.fixture
def remote_server():
    """A running stand-in server on 127.0.0.1 (free port), stopped afterwards."""
    server = start_server()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def logged_in(data_dir, remote_server):
    """User u1 (Ada Lovelace) logged in to `remote_server`; yields the server."""
    login("u1", "Ada", "Lovelace", remote_server.url, access_token=remote_server.issue_login("u1"))
    return remote_server
