"""Settings file, local user database and the token DAO, on a temporary data directory."""
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sqlalchemy import select, text

from zentab_client.local.dao.api_token import dao_api_token
from zentab_client.local.database import db_path, get_db_session_context
from zentab_client.local.model import Users
from zentab_client.local.models.keyfolio import APIKeyInfo
from zentab_client.settings.user_settings import (
    get_user_settings,
    login,
    logout,
    save_user_settings,
    settings_path,
)

TOKEN = {"uid": "u-1", "name": "ada@host (Linux) 0a1b", "api_token": "s3cr3t", "server_url": "http://127.0.0.1:1"}

optional_text = st.one_of(st.none(), st.text(max_size=40))


def test_settings_default_when_file_missing(data_dir):
    s = get_user_settings()
    assert (s.user_sub, s.server_url) == (None, None)


@pytest.mark.parametrize(
    "content",
    ["{not json", "[1, 2]", '{"user_sub": 5}', ""],
    ids=["broken", "not-an-object", "wrong-type", "empty"],
)
def test_unreadable_settings_mean_nobody_logged_in(data_dir, content):
    settings_path().write_text(content, encoding="utf-8")
    s = get_user_settings()
    assert (s.user_sub, s.server_url) == (None, None)


def test_settings_are_reread_at_every_call(data_dir):
    save_user_settings(user_sub="a", server_url="http://x")
    settings_path().write_text(json.dumps({"user_sub": "b", "server_url": ""}), encoding="utf-8")
    s = get_user_settings()
    assert (s.user_sub, s.server_url) == ("b", "")


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(user_sub=optional_text, server_url=optional_text)
def test_settings_round_trip(data_dir, user_sub, server_url):
    save_user_settings(user_sub=user_sub, server_url=server_url)
    s = get_user_settings()
    assert s.user_sub == user_sub
    assert s.server_url == (server_url.rstrip("/") if server_url else server_url)


def test_save_updates_only_given_keys(data_dir):
    save_user_settings(user_sub="ada", server_url="http://h:1/")
    save_user_settings(user_sub=None)
    s = get_user_settings()
    assert (s.user_sub, s.server_url) == (None, "http://h:1")


def test_login_creates_then_updates_user_row(data_dir):
    login("u1", "Ada", "Lovelace", "http://h:1")
    login("u1", "Ada", "King", "http://h:2")
    with get_db_session_context() as session:
        rows = session.scalars(select(Users)).all()
    assert [(r.username, r.firstname, r.lastname) for r in rows] == [("u1", "Ada", "King")]
    assert get_user_settings().server_url == "http://h:2"
    logout()
    assert get_user_settings().user_sub is None
    assert get_user_settings().server_url == "http://h:2"


def test_session_commits_on_clean_exit_and_rolls_back_on_error(data_dir):
    with get_db_session_context() as session:
        session.add(Users(username="kept"))
    with pytest.raises(RuntimeError, match="boom"):
        with get_db_session_context() as session:
            session.add(Users(username="dropped"))
            session.flush()
            raise RuntimeError("boom")
    with get_db_session_context() as session:
        assert session.scalars(select(Users.username)).all() == ["kept"]


def test_database_follows_data_dir(tmp_path, monkeypatch):
    from zentab_client.local.database import dispose_engines

    try:
        for name in ("one", "two"):
            monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path / name))
            with get_db_session_context() as session:
                session.add(Users(username=name))
        for name in ("one", "two"):
            monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path / name))
            assert db_path() == tmp_path / name / "client.db"
            with get_db_session_context() as session:
                assert session.scalars(select(Users.username)).all() == [name]
    finally:
        dispose_engines()


def test_cleared_token_is_sql_null(data_dir):
    with get_db_session_context() as session:
        session.add_all([Users(username="with", api_token=dict(TOKEN)), Users(username=None, api_token=None)])
    with get_db_session_context() as session:
        dao_api_token.delete("with", session)
    with get_db_session_context() as session:
        assert session.scalars(select(Users).where(Users.api_token.isnot(None))).all() == []
        raw = session.execute(text("SELECT api_token FROM users")).scalars().all()
    assert raw == [None, None]


def test_dao_round_trip(data_dir):
    with get_db_session_context() as session:
        assert dao_api_token.read("u1", session) is None  # no row at all
        dao_api_token.write("u1", TOKEN, session)
    with get_db_session_context() as session:
        assert dao_api_token.read("u1", session) == TOKEN
        assert dao_api_token.read("other", session) is None
        assert dao_api_token.read(None, session) is None
        dao_api_token.delete("u1", session)
        dao_api_token.delete("nobody", session)  # no row: nothing to clear, no error
    with get_db_session_context() as session:
        assert dao_api_token.read("u1", session) is None
        assert session.scalars(select(Users.username)).all() == ["u1"]


def test_key_info_hides_secret():
    info = APIKeyInfo(**TOKEN)
    for shown in (repr(info), str(info), f"{info}"):
        assert "s3cr3t" not in shown and "u-1" in shown
    assert info.api_token == "s3cr3t"
    assert "s3cr3t" not in repr(Users(username="x", api_token=dict(TOKEN)))


def test_key_info_validation_error_hides_secret():
    with pytest.raises(ValueError) as err:
        APIKeyInfo(uid="u", api_token="s3cr3t", server_url=None)  # name missing
    assert "s3cr3t" not in str(err.value)
