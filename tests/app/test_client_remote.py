"""Client remote calls against the loopback stand-in server."""
import json
import logging
import os
import re
import urllib.error
import urllib.request
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zentab_client.exceptions import APIKeyInvalidException, RemoteServerError, ServerNotConfiguredError
from zentab_client.local.dao.api_token import dao_api_token
from zentab_client.local.database import get_db_session_context
from zentab_client.local.models.keyfolio import APIKeyInfo
from zentab_client.remote import keyfolio
from zentab_client.remote.endpoints.bug_report import BugReportCreateV3, report_bug
from zentab_client.remote.endpoints.keyfolio import api_token_create, api_token_delete
from zentab_client.settings.user_settings import save_user_settings
from zentab_server import start_server


def _create_and_store(server_url):
    created = api_token_create(name=keyfolio.generate_token_name())
    info = APIKeyInfo(uid=created.uid, name=created.name, api_token=created.api_token, server_url=server_url)
    keyfolio.store_API_token(info)
    return info


def test_token_round_trip(logged_in):
    server = logged_in
    info = _create_and_store(server.url)

    assert server.tokens[info.uid]["api_token"] == info.api_token
    assert keyfolio.TOKEN_CACHE["u1"] == info
    with get_db_session_context() as session:
        assert dao_api_token.read("u1", session) == info.model_dump()
    assert keyfolio.test_api_token("u1", info) is None

    api_token_delete(info.uid)
    with get_db_session_context() as session:
        dao_api_token.delete("u1", session)
    assert server.tokens == {}
    with get_db_session_context() as session:
        assert dao_api_token.read("u1", session) is None
    with pytest.raises(APIKeyInvalidException):
        keyfolio.test_api_token("u1", info)


def test_store_creates_missing_user_row(data_dir):
    save_user_settings(user_sub="fresh", server_url="http://127.0.0.1:9")
    info = APIKeyInfo(uid="x", name="n", api_token="t", server_url="http://127.0.0.1:9")
    keyfolio.store_API_token(info)
    with get_db_session_context() as session:
        assert dao_api_token.read("fresh", session)["uid"] == "x"


def test_revoked_token_is_invalid(logged_in):
    info = _create_and_store(logged_in.url)
    logged_in.revoke(info.uid)
    with pytest.raises(APIKeyInvalidException) as err:
        keyfolio.test_api_token("u1", info)
    assert info.api_token not in str(err.value)


def test_stopped_server_is_a_connection_error(logged_in):
    info = _create_and_store(logged_in.url)
    logged_in.stop()
    logged_in.stop()  # idempotent
    calls = [
        lambda: keyfolio.test_api_token("u1", info),
        lambda: api_token_create(name="n"),
        lambda: api_token_delete(info.uid),
        lambda: report_bug(BugReportCreateV3(subject="s", description="d")),
    ]
    for call in calls:
        with pytest.raises(ConnectionError) as err:
            call()
        assert isinstance(err.value, ConnectionRefusedError)
        assert info.api_token not in str(err.value)


def test_error_status_carries_server_detail(logged_in):
    with pytest.raises(RemoteServerError, match="^name must be a non-empty string$") as err:
        api_token_create(name=" ")
    assert err.value.status == 422


@pytest.mark.parametrize("status", [400, 403, 500, 503])
def test_injected_failure_maps_to_remote_server_error(logged_in, status):
    logged_in.fail_next(status, "maintenance window")
    with pytest.raises(RemoteServerError, match="^maintenance window$") as err:
        report_bug(BugReportCreateV3(subject="s", description="d"))
    assert err.value.status == status
    assert logged_in.bug_reports == []
    report_bug(BugReportCreateV3(subject="s", description="d"))  # only the next one fails
    assert len(logged_in.bug_reports) == 1


def test_server_validation_error_is_reported(logged_in):
    with pytest.raises(RemoteServerError, match="subject must not be empty"):
        report_bug(BugReportCreateV3(subject="  ", description="d"))


@pytest.mark.parametrize(
    "call",
    [
        lambda: report_bug(BugReportCreateV3(subject="s", description="d")),
        lambda: api_token_create(name="n"),
        lambda: api_token_delete("u"),
    ],
    ids=["bug", "create", "delete"],
)
def test_no_server_configured(data_dir, call):
    save_user_settings(user_sub="u1", server_url="")
    with pytest.raises(ServerNotConfiguredError):
        call()


@pytest.fixture(scope="module")
def shared_server():
    with start_server() as server:
        yield server


@settings(max_examples=30, deadline=None)
@given(subject=st.text(min_size=1).filter(str.strip), description=st.text())
def test_bug_report_delivered_verbatim(shared_server, subject, description, tmp_path_factory):
    # Hypothesis reruns this body: use a data dir of our own instead of the function-scoped fixture.
    with mock.patch.dict(os.environ, {"ZENTAB_DATA_DIR": str(tmp_path_factory.getbasetemp() / "bugs")}):
        save_user_settings(server_url=shared_server.url)
        before = len(shared_server.bug_reports)
        report_bug(BugReportCreateV3(subject=subject, description=description))
        assert shared_server.bug_reports[before:] == [{"subject": subject, "description": description}]


def test_bug_reports_can_be_read_back_over_http_by_their_sender_only(logged_in):
    from zentab_client.settings.user_settings import login_credential

    report_bug(BugReportCreateV3(subject="crash", description="on start"))
    url = logged_in.url + "/api/v3/bug-reports"

    def listed(credential):
        headers = {"Authorization": f"Bearer {credential}"} if credential else {}
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=5) as resp:
            return json.loads(resp.read())

    assert listed(login_credential("u1")) == [{"subject": "crash", "description": "on start"}]
    assert listed(logged_in.issue_login("someone-else")) == []
    with pytest.raises(urllib.error.HTTPError) as err:
        listed(None)
    assert err.value.code == 401


def test_token_name_shape(data_dir, monkeypatch):
    monkeypatch.setattr(keyfolio.socket, "gethostname", lambda: "myhost")
    monkeypatch.setattr(keyfolio.platform, "system", lambda: "Linux")
    save_user_settings(user_sub="ada")
    names = {keyfolio.generate_token_name() for _ in range(5)}
    assert all(re.fullmatch(r"ada@myhost \(Linux\) [0-9a-f]{4}", n) for n in names)
    assert len(names) > 1
    save_user_settings(user_sub=None)
    monkeypatch.setattr(keyfolio.getpass, "getuser", lambda: "localuser")
    assert keyfolio.generate_token_name().startswith("localuser@myhost (Linux) ")


def test_secret_never_shown_or_logged(logged_in, caplog):
    caplog.set_level(logging.DEBUG)
    created = api_token_create(name="n")
    secret = created.api_token
    info = APIKeyInfo(uid=created.uid, name=created.name, api_token=secret, server_url=logged_in.url)
    keyfolio.store_API_token(info)
    keyfolio.test_api_token("u1", info)
    logged_in.revoke(info.uid)
    errors = []
    with pytest.raises(APIKeyInvalidException) as err:
        keyfolio.test_api_token("u1", info)
    errors.append(err.value)
    logged_in.fail_next(500, f"echoing {secret}")  # a careless server must not leak it either
    with pytest.raises(RemoteServerError) as err:
        keyfolio.test_api_token("u1", info)
    errors.append(err.value)
    api_token_delete(info.uid)

    assert caplog.records, "expected the client and server to log something"
    shown = [caplog.text, repr(created), str(created), repr(info), str(keyfolio.TOKEN_CACHE)]
    shown += [str(e) for e in errors] + [repr(e) for e in errors]
    for text in shown:
        assert secret not in text
