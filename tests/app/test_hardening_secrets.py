"""Secrets at rest, in error texts, in flight, and the stand-in server's own checks."""
import asyncio
import http.client
import json
import os
import ssl
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from hardening import IS_ROOT, Recorder, chown_tree, json_answer, loose_modes, rmtree, run_child, shared_tmpdir
from zentab_api.python_api.auth.local import keyfolio as kf
from zentab_client.exceptions import (APIKeyInvalidException, InsecureServerURLError, RemoteServerError)
from zentab_client.local.models.keyfolio import APIKeyInfo
from zentab_client.remote import http as client_http
from zentab_client.remote import keyfolio as client_keyfolio
from zentab_client.remote.endpoints.keyfolio import api_token_create, api_token_delete
from zentab_client.settings import folders
from zentab_client.settings.user_settings import login, login_credential

ROOT = Path(__file__).resolve().parents[2]


# -- 1. at rest ---------------------------------------------------------------

def test_everything_in_a_fresh_data_dir_is_private_under_umask_022(tmp_path, monkeypatch):
    data = tmp_path / "fresh" / "zentab"
    code = textwrap.dedent("""
        import asyncio, json, os
        os.umask(0o022)
        from zentab_server import start_server
        from zentab_client.settings.user_settings import login
        from zentab_api.python_api.auth.local import keyfolio
        from zentab_api.python_api.sync import tidewell
        from zentab_service_manager import ServiceManager
        server = start_server()
        login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))
        asyncio.run(keyfolio.create_api_token())
        from zentab_client.settings.folders import get_log_dir
        asyncio.run(tidewell.start_tidewell())
        import time
        # The agent makes its log once it is up, which a sanitizer build takes a while to be.
        deadline = time.monotonic() + 30
        while not (get_log_dir() / "tidewell.log").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        asyncio.run(tidewell.stop_tidewell())
        ServiceManager().stop_all()
        server.stop()
        print(json.dumps("done"))
    """)
    run_child(code, data, env={"ZENTAB_AGENT_INTERVAL": "0.05"}, timeout=120)
    names = {p.name for p in data.rglob("*")}
    assert {"client.db", "tidewell.db", "settings.json", "tidewell.log", "services"} <= names
    assert loose_modes(data) == []


def test_an_older_looser_data_dir_is_tightened(tmp_path, monkeypatch):
    for sub in ("", "logs", "services"):
        (tmp_path / sub).mkdir(exist_ok=True)
        os.chmod(tmp_path / sub, 0o755)
    for name in ("client.db", "settings.json", "logs/tidewell.log", "services/tidewell.json"):
        (tmp_path / name).write_text("{}")
        os.chmod(tmp_path / name, 0o644)
    monkeypatch.setattr(folders, "_checked", set())
    monkeypatch.setattr(folders, "_private_dirs", set())
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    assert len(loose_modes(tmp_path)) == 7
    folders.get_data_dir()
    assert loose_modes(tmp_path) == []


def test_demo_leaves_nothing_readable_by_others_nor_in_the_temporary_directory():
    base = shared_tmpdir()
    data, tmp = base / "new-folder", base / "tmp"
    tmp.mkdir()
    try:
        proc = subprocess.run([sys.executable, str(ROOT / "demo" / "demo.py")], capture_output=True, text=True,
                              timeout=240, env=dict(os.environ, ZENTAB_DATA_DIR=str(data), TMPDIR=str(tmp)),
                              preexec_fn=lambda: os.umask(0o022))
        assert proc.returncode == 0, proc.stderr[-3000:]
        assert (data / "client.db").exists() and (data / "tidewell.db").exists()
        assert loose_modes(data) == []
        assert list(tmp.iterdir()) == []
    finally:
        rmtree(base)


# -- 2. in error texts ---------------------------------------------------------

# The server issues the token, then the sabotage strikes before the client stores it.
_SECRET_CHILD = textwrap.dedent("""
    import asyncio, json, os, resource, signal, sqlite3, sys, traceback
    from zentab_server import start_server
    from zentab_client.local import database
    from zentab_client.settings.user_settings import login
    from zentab_api.python_api.auth.local import keyfolio
    scenario = sys.argv[1] if len(sys.argv) > 1 else os.environ["SCENARIO"]
    database.BUSY_TIMEOUT_S = 0.2
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    server = start_server()
    login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))
    data = database.db_path().parent
    held = []

    def sabotage(record):
        db = database.db_path()
        if scenario == "locked":
            conn = sqlite3.connect(db, check_same_thread=False)
            conn.execute("BEGIN EXCLUSIVE")
            held.append(conn)
        elif scenario == "corrupt":
            size = db.stat().st_size
            with open(db, "r+b") as fh:
                fh.write(os.urandom(size))
        elif scenario == "read-only":
            from hardening import make_read_only
            make_read_only(db, data)
        elif scenario == "full":
            resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    server.on_token_created(sabotage)
    try:
        asyncio.run(keyfolio.create_api_token("laptop"))
        error = None
    except BaseException as exc:
        error = exc
    text = "" if error is None else "".join(traceback.format_exception(type(error), error, error.__traceback__))
    text += repr(error) + str(error)
    print(json.dumps({"error": type(error).__name__, "text": text,
                      "secrets": [t["api_token"] for t in server.tokens.values()]}))
""")

_EXPECTED = {"locked": "locked", "corrupt": "not a database", "read-only": ("readonly", "unable to open"),
             "full": ("disk is full", "disk I/O error")}


@pytest.mark.parametrize("scenario", sorted(_EXPECTED))
def test_no_secret_in_any_error_of_a_failed_token_store(scenario):
    base = shared_tmpdir()
    data = base / "data"
    data.mkdir(mode=0o700)
    try:
        result = run_child(_SECRET_CHILD, data, env={"SCENARIO": scenario, "PYTHONPATH": str(Path(__file__).parent)})
    finally:
        rmtree(base)
    assert result["error"] != "NoneType", "the sabotage did not make the store fail"
    assert len(result["secrets"]) == 1 and len(result["secrets"][0]) > 20
    expected = _EXPECTED[scenario]
    assert any(e in result["text"] for e in (expected if isinstance(expected, tuple) else (expected,))), result["text"]
    if scenario == "locked":
        assert "parameters hidden" in result["text"]
    for secret in result["secrets"]:
        assert secret not in result["text"]


# -- 3. in flight ---------------------------------------------------------------

def _redirect_to(target):
    return lambda handler: (int(handler.path.rsplit("code=", 1)[-1]) if "code=" in handler.path else 302,
                            {"Location": target + "/api/v1/tokens/check"}, b"")


@pytest.mark.parametrize("code", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("call", ["create", "check", "delete"])
def test_a_redirect_to_another_origin_never_gets_the_credential(logged_in, monkeypatch, code, call):
    elsewhere = Recorder(json_answer(200, {"valid": True, "uid": "x", "name": "n", "api_token": "t"}))
    redirector = Recorder(lambda h: (code, {"Location": elsewhere.url + "/steal"}, b""))
    try:
        login("u1", "Ada", "Lovelace", redirector.url)  # keeps u1's stored login credential
        info = APIKeyInfo(uid="uid-1", name="n", api_token="the-token-secret", server_url=redirector.url)
        with pytest.raises(RemoteServerError, match="not followed|308") as err:  # 3.10 follows no 308
            {"create": lambda: api_token_create("n"),
             "check": lambda: client_keyfolio.test_api_token("u1", info),
             "delete": lambda: api_token_delete("uid-1")}[call]()
        assert err.value.status == code
        assert len(redirector.requests) == 1 and redirector.requests[0]["headers"].get("Authorization")
        assert elsewhere.requests == []
    finally:
        redirector.stop()
        elsewhere.stop()


@pytest.mark.parametrize("status, payload, outcome", [
    (200, {"valid": True}, None),
    (200, {"valid": False}, APIKeyInvalidException),
    (200, None, RemoteServerError),
    (200, {}, RemoteServerError),
    (200, {"valid": "true"}, RemoteServerError),
    (200, {"valid": 1}, RemoteServerError),
    (204, None, RemoteServerError),
    (401, {"detail": "no"}, APIKeyInvalidException),
])
def test_valid_only_on_the_servers_explicit_yes(data_dir, status, payload, outcome):
    server = Recorder(json_answer(status, payload))
    try:
        info = APIKeyInfo(uid="u", name="n", api_token="s", server_url=server.url)
        if outcome is None:
            assert client_keyfolio.test_api_token("u1", info) is None
        else:
            with pytest.raises(outcome):
                client_keyfolio.test_api_token("u1", info)
    finally:
        server.stop()


@pytest.mark.parametrize("url, allowed", [
    ("http://example.org", False), ("http://10.0.0.5:8080", False), ("http://127.0.0.1.example.org", False),
    ("http://[fe80::1]", False), ("http://127.0.0.2:9", True), ("http://localhost:9", True), ("http://[::1]:9", True),
])
def test_plain_http_only_to_loopback(url, allowed):
    if allowed:
        with pytest.raises(ConnectionError):  # nothing listens there; the point is: it was tried
            client_http.request("GET", "/x", server_url=url, bearer="s", timeout=2)
    else:
        with pytest.raises(InsecureServerURLError, match="plain http"):
            client_http.request("GET", "/x", server_url=url, bearer="s", timeout=2)


def test_certificates_are_verified_even_if_the_process_turned_that_off(tmp_path, monkeypatch):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                           "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)], capture_output=True)
    if made.returncode != 0:
        pytest.skip("openssl cannot make a test certificate here")
    server = Recorder(json_answer(200, {"valid": True}))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.httpd.socket = context.wrap_socket(server.httpd.socket, server_side=True)
    monkeypatch.setattr(ssl, "_create_default_https_context", ssl._create_unverified_context)
    try:
        url = server.url.replace("http://", "https://")
        with pytest.raises(ConnectionError, match="CERTIFICATE_VERIFY_FAILED|certificate verify failed"):
            client_http.request("POST", "/api/v1/tokens/check", server_url=url, bearer="secret", timeout=5)
        assert server.requests == []
    finally:
        server.stop()


# -- 4. the stand-in server ---------------------------------------------------------

def _raw(server, method, path, *, host=None, bearer=None, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
    headers = {"Host": f"127.0.0.1:{server.port}" if host is None else host, "Content-Type": "application/json"}
    if bearer:
        headers["Authorization"] = f"Bearer {bearer}"
    conn.request(method, path, body=json.dumps(body) if body is not None else None, headers=headers)
    resp = conn.getresponse()
    status, payload = resp.status, resp.read()
    conn.close()
    return status, payload


@pytest.mark.parametrize("host, status", [
    ("127.0.0.1:{port}", 401), ("localhost:{port}", 401), ("localhost", 401), ("[::1]:{port}", 401),
    ("evil.example:{port}", 421), ("127.0.0.1.nip.io:{port}", 421), ("", 421), ("localhost.evil.example", 421),
])
def test_standin_accepts_only_loopback_host_names(remote_server, host, status):
    got, _ = _raw(remote_server, "GET", "/api/v3/bug-reports", host=host.format(port=remote_server.port))
    assert got == status


def test_standin_requires_credentials(logged_in):
    server = logged_in
    alice, bob = server.issue_login("alice"), server.issue_login("bob")
    assert _raw(server, "POST", "/api/v1/tokens", body={"name": "anon"})[0] == 401
    assert _raw(server, "POST", "/api/v1/tokens", bearer="made-up", body={"name": "x"})[0] == 401
    status, payload = _raw(server, "POST", "/api/v1/tokens", bearer=alice, body={"name": "alice's"})
    assert status == 201
    token = json.loads(payload)
    assert _raw(server, "POST", "/api/v1/tokens", bearer=token["api_token"], body={"name": "x"})[0] == 401
    path = f"/api/v1/tokens/{token['uid']}"
    assert _raw(server, "DELETE", path)[0] == 401
    assert _raw(server, "DELETE", path, bearer=bob)[0] == 404  # not disclosed to another user
    assert token["uid"] in server.tokens
    assert _raw(server, "DELETE", path, bearer=token["api_token"])[0] == 204
    assert _raw(server, "DELETE", path, bearer=alice)[0] == 404  # now unknown
    assert server.tokens == {}


def test_a_token_the_server_forgot_can_still_be_removed_locally(logged_in):
    server = logged_in
    created = asyncio.run(kf.create_api_token("forgotten"))
    status, _ = _raw(server, "DELETE", f"/api/v1/tokens/{created.uid}", bearer=login_credential("u1"))
    assert status == 204 and server.tokens == {}
    asyncio.run(kf.delete_api_token(created.uid))  # the server's 404 counts as revoked
    assert asyncio.run(kf.list_keyfolio()) == []
    created = asyncio.run(kf.create_api_token("again"))
    server.fail_next(404, "gone")  # a 404 for the revocation means the same for any token
    asyncio.run(kf.delete_api_token(created.uid))
    assert asyncio.run(kf.list_keyfolio()) == [] and created.uid in server.tokens
