"""keyfolio end to end: the embedded client library, its SQLite user database and
the loopback stand-in server."""
import asyncio
import logging

import pytest

from zentab_api.python_api.auth.local import keyfolio as kf
from zentab_client.local.dao.api_token import dao_api_token
from zentab_client.local.database import get_db_session_context
from zentab_client.local.model import Users
from zentab_client.remote.keyfolio import TOKEN_CACHE
from zentab_client.settings.user_settings import login


def run(coro):
    return asyncio.run(coro)


def test_token_lifecycle_keeps_the_secret_to_the_create_response(logged_in, caplog):
    server = logged_in
    caplog.set_level(logging.DEBUG)

    created = run(kf.create_api_token())
    secret = created.api_token
    assert server.tokens[created.uid]["api_token"] == secret
    assert created.name.startswith("u1@") and "(" in created.name and created.server_url == server.url
    assert "u1" in TOKEN_CACHE

    listed = run(kf.list_keyfolio())
    assert [r.model_dump() for r in listed] == [dict(user_sub="u1", user_name="Ada Lovelace", api_key_name=created.name,
                                                     api_key_uid=created.uid, server_url=server.url)]
    assert run(kf.check_api_token(created.uid)).valid is True

    with pytest.raises(kf.UserAlreadyHasTokenError, match="^User 'u1' already has a local API token. Delete it first.$"):
        run(kf.create_api_token("second"))
    assert len(server.tokens) == 1

    server.revoke(created.uid)  # behind our back
    assert run(kf.check_api_token(created.uid)).valid is False
    assert [r.api_key_uid for r in run(kf.list_keyfolio())] == [created.uid]

    run(kf.delete_api_token(created.uid))
    assert run(kf.list_keyfolio()) == [] and "u1" not in TOKEN_CACHE and server.tokens == {}
    with pytest.raises(kf.TokenNotFoundError):
        run(kf.check_api_token(created.uid))

    again = run(kf.create_api_token("mine"))
    assert again.name == "mine" and server.tokens[again.uid]["name"] == "mine"

    shown = repr(created) + str(created) + repr(listed) + caplog.text
    assert secret not in shown and again.api_token not in shown + repr(again)


def test_listing_covers_every_token_holder_in_the_database(logged_in):
    login("u2", "Grace", None, logged_in.url, access_token=logged_in.issue_login("u2"))
    run(kf.create_api_token("g"))
    login("u3", "Edsger", "", logged_in.url)  # logged in, holds no token
    login("u1", "Ada", "Lovelace", logged_in.url)
    run(kf.create_api_token("a"))
    with get_db_session_context() as session:
        session.add(Users(username="u4", firstname="Empty", lastname="Dict", api_token={}))
    records = sorted((r.user_sub, r.user_name, r.api_key_name, r.server_url) for r in run(kf.list_keyfolio()))
    assert records == [("u1", "Ada Lovelace", "a", logged_in.url), ("u2", "Grace None", "g", logged_in.url),
                       ("u4", "Empty Dict", None, None)]


def test_unreachable_server(logged_in):
    server = logged_in
    created = run(kf.create_api_token())
    server.stop()
    with pytest.raises(kf.ServerUnreachableError, match="^Cannot reach the server to revoke the token.$") as info:
        run(kf.delete_api_token(created.uid))
    assert isinstance(info.value.__context__, ConnectionRefusedError) and info.value.__cause__ is None
    assert [r.api_key_uid for r in run(kf.list_keyfolio())] == [created.uid] and "u1" in TOKEN_CACHE
    with pytest.raises(kf.ServerUnreachableError, match="^Cannot reach the server to validate the token.$"):
        run(kf.check_api_token(created.uid))
    with get_db_session_context() as session:
        dao_api_token.delete("u1", session)
    with pytest.raises(kf.ServerUnreachableError, match="^Cannot reach the server to create the token.$"):
        run(kf.create_api_token())


@pytest.mark.parametrize("fn, prefix", [("create_api_token", "Server error while creating token: "),
                                        ("delete_api_token", "Server error while revoking token: ")])
def test_server_error_answers(logged_in, fn, prefix):
    server = logged_in
    created = run(kf.create_api_token()) if fn == "delete_api_token" else None
    server.fail_next(503, "maintenance")
    with pytest.raises(kf.ServerOperationError) as info:
        run(getattr(kf, fn)(created.uid if created else None))
    assert str(info.value) == prefix + "maintenance"
    assert len(server.tokens) == (1 if created else 0)


def test_nobody_logged_in(data_dir):
    with pytest.raises(kf.NoUserLoggedInError, match="^No user is currently logged in.$"):
        run(kf.create_api_token())
