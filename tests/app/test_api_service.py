"""The local API as a real process: started by the service manager, driven over loopback HTTP.

One service per module (starting uvicorn costs about a second); each test leaves the shared
state (agent stopped, no token, user logged in) as it found it.
"""
import asyncio
import inspect
import logging
import os
import queue
import re
import socket
import sqlite3
import stat
import subprocess
import sys
import time

import httpx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zentab_api.app import address as api_address
from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell
from zentab_api.service import GatheringListener
from zentab_client.local.database import dispose_engines
from zentab_client.remote.keyfolio import TOKEN_CACHE
from zentab_client.settings.folders import get_data_dir
from zentab_client.settings.user_settings import login, logout
from zentab_server import start_server
from zentab_service_manager import ServiceManager
from zentab_service_manager.services import sync_api
from zentab_service_manager.services import tidewell as tidewell_service
from zentab_tidewell.crud.parcelry import OrderDirection, SyncItemSortKey

MODULES = (tidewell, parcelry, keyfolio, logs)


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    data = tmp_path_factory.mktemp("api")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZENTAB_DATA_DIR", str(data))
        mp.setenv("ZENTAB_AGENT_INTERVAL", "0.05")
        server = start_server()
        login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))
        service = sync_api.get_service()
        pid = service.start()
        try:
            found = api_address.wait_for_address(pid)
            with httpx.Client(base_url=found.url, headers=found.headers, timeout=15) as client:
                yield {"data": data, "server": server, "service": service, "pid": pid,
                       "address": found, "client": client}
        finally:
            ServiceManager().stop_all()
            server.stop()
            TOKEN_CACHE.clear()
            dispose_engines()


@pytest.fixture
def api(env):
    return env["client"]


def run(coro):
    return asyncio.run(coro)


def dump(value):
    if isinstance(value, list):
        return [dump(v) for v in value]
    return value.model_dump(mode="json") if hasattr(value, "model_dump") else value


def error_of(response, status):
    assert response.status_code == status, response.text
    body = response.json()
    assert set(body) == {"detail", "error"} and isinstance(body["detail"], str)
    return body


# -- the process and its address ------------------------------------------------------
def test_address_file_is_private_and_names_the_running_process(env):
    path = env["data"] / api_address.ADDRESS_FILE_NAME
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    found = env["address"]
    assert found.pid == env["pid"] == env["service"].pid
    assert found.url == f"http://127.0.0.1:{found.port}"
    assert found.key not in repr(found)
    # Bound to 127.0.0.1 itself, not to every address: another loopback address is refused.
    with pytest.raises(httpx.ConnectError):
        httpx.get(f"http://127.0.0.2:{found.port}/docs")
    assert env["client"].get("/sync/status").json()["sync_api_service"] == "running"


def test_key_and_host_are_checked_but_the_openapi_pages_are_open(env):
    url = env["address"].url
    assert error_of(httpx.get(f"{url}/sync/status"), 401)["error"] == "Unauthorized"
    assert error_of(httpx.get(f"{url}/sync/status", headers={"Authorization": "Bearer wrong"}), 401)
    assert error_of(httpx.get(f"{url}/nowhere"), 401)  # what exists is not told without the key
    # A DNS-rebound page reaches us with its own host name.
    rebound = httpx.get(f"{url}/sync/status", headers={**env["address"].headers, "Host": "evil.example:80"})
    assert error_of(rebound, 400)["error"] == "InvalidHost"
    assert error_of(httpx.get(f"{url}/docs", headers={"Host": "evil.example"}), 400)
    assert httpx.get(f"{url}/docs").status_code == 200
    document = httpx.get(f"{url}/openapi.json").json()
    operations = {op["operationId"] for path in document["paths"].values() for op in path.values()}
    public = {name for module in MODULES for name, f in vars(module).items()
              if type(f).__name__ == "zentab_function" and not name.startswith("_")}
    assert operations == public
    assert document["components"]["securitySchemes"]["HTTPBearer"]["scheme"] == "bearer"


def test_the_document_is_read_from_the_module_functions_signatures(env):
    document = httpx.get(f"{env['address'].url}/openapi.json").json()
    paths = document["paths"]
    listing = paths["/sync/sources/{source_id}/items"]["get"]
    assert [p["name"] for p in listing["parameters"]] == list(inspect.signature(parcelry.list_parcelry).parameters)
    order_by = next(p for p in listing["parameters"] if p["name"] == "order_by")
    assert {"$ref": "#/components/schemas/SyncItemSortKey"} in order_by["schema"]["anyOf"]
    assert listing["responses"]["200"]["content"]["application/json"]["schema"]["items"] == \
        {"$ref": "#/components/schemas/SyncItemReadSummaryV1"}
    one = paths["/sync/items/{sync_item_id}"]["get"]
    assert one["responses"]["200"]["content"]["application/json"]["schema"] == \
        {"$ref": "#/components/schemas/SyncItemReadV1"}
    assert one["description"] == parcelry.get_sync_item.__doc__
    logs_op = paths["/admin/logs/{service}"]["get"]
    assert [(p["name"], p["in"]) for p in logs_op["parameters"]] == [("service", "path"), ("n", "query")]
    assert document["components"]["schemas"]["LogService"]["enum"] == ["api", "tidewell"]


# -- parcelry ---------------------------------------------------------------------------
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(is_synchronized=st.sampled_from([None, True, False]), has_priority=st.sampled_from([None, True, False]),
       query=st.sampled_from([None, "report", "SENSORS", "é", "%"]),
       scope_identifier=st.sampled_from([None, "sensors", "2024"]),
       order_by=st.sampled_from([None, *SyncItemSortKey]), order_direction=st.sampled_from([None, *OrderDirection]),
       offset=st.integers(0, 20), limit=st.integers(0, 30))
def test_listing_over_http_equals_the_native_call(api, is_synchronized, has_priority, query, scope_identifier,
                                                  order_by, order_direction, offset, limit):
    params = dict(is_synchronized=is_synchronized, has_priority=has_priority, query=query,
                  scope_identifier=scope_identifier, order_by=order_by, order_direction=order_direction,
                  offset=offset, limit=limit)
    query = {k: (v.value if hasattr(v, "value") else v) for k, v in params.items() if v is not None}
    response = api.get("/sync/sources/1/items", params=query)
    assert response.status_code == 200, response.text
    assert response.json() == dump(run(parcelry.list_parcelry(1, **params)))


def test_one_item_its_changes_and_its_reports(api, env):
    item = api.get("/sync/items/4").json()
    assert item == dump(run(parcelry.get_sync_item(4)))
    assert api.post("/sync/items/4/prioritize").status_code == 204
    assert api.get("/sync/items/4").json()["hasPriority"] is True
    assert api.post("/sync/items/4/reset").status_code == 204
    after = api.get("/sync/items/4").json()
    assert (after["attempts"], after["synchronized"], after["hasPriority"]) == (0, False, False)

    for path in ("report", "error-report"):
        text = api.get(f"/sync/items/4/{path}", params={"message": "stuck {x}"})
        assert text.headers["content-type"].startswith("text/plain")
        assert text.text == run(parcelry.generate_sync_item_report(4, "stuck {x}"))
    before = len(env["server"].bug_reports)
    assert api.post("/sync/items/4/report", json={"message": "stuck"}).status_code == 204
    assert len(env["server"].bug_reports) == before + 1


@pytest.mark.parametrize("method,path,body", [
    ("GET", "/sync/items/999", None), ("POST", "/sync/items/999/reset", None),
    ("POST", "/sync/items/999/prioritize", None), ("GET", "/sync/items/999/report?message=m", None),
    ("GET", "/sync/items/999/error-report?message=m", None), ("POST", "/sync/items/999/report", {"message": "m"}),
    ("PATCH", "/sync/errors/999", {"viewed": True}),
])
def test_unknown_ids_are_404(api, method, path, body):
    body = error_of(api.request(method, path, json=body), 404)
    assert body["error"].endswith("NotFoundError") and "999" in body["detail"]


@pytest.mark.parametrize("method,path,body", [
    ("GET", "/sync/items/x", None), ("GET", "/sync/sources/1/items?order_by=nope", None),
    ("GET", "/sync/items/1/report", None), ("PATCH", "/sync/errors/1", {"viewed": "maybe"}),
    ("PATCH", "/sync/errors/1", {"viewed": True, "extra": 1}), ("POST", "/sync/items/1/report", {}),
    ("GET", "/admin/logs/nope?n=1", None), ("GET", "/admin/logs/api?n=x", None),
    # Valid for the framework, too large for the store.
    ("GET", f"/sync/items/{10**30}", None),
    # Integers that int() would read (whitespace, Unicode's included, and a sign), as no
    # client validating against the document would send them.
    ("GET", "/sync/items/%C2%859", None), ("POST", "/sync/items/%209/reset", None),
    ("GET", "/sync/sources/1/items?offset=%C2%855", None), ("GET", "/admin/logs/api?n=%2B5", None),
])
def test_malformed_requests_are_422(api, method, path, body):
    assert api.request(method, path, json=body).status_code == 422


# -- tidewell ---------------------------------------------------------------------------
def test_agent_start_stop_and_their_conflicts(api, env):
    started = api.post("/sync/tidewell/start")
    assert started.status_code == 200, started.text
    assert started.json()["tidewell_service"] == "running"
    assert error_of(api.post("/sync/tidewell/start"), 409)["error"] == "TidewellAlreadyRunningError"
    assert api.get("/sync/status").json()["tidewell_service"] == "running"
    stopped = api.post("/sync/tidewell/stop")
    assert stopped.status_code == 200 and stopped.json()["tidewell_service"] == "not_running"
    assert error_of(api.post("/sync/tidewell/stop"), 409)["error"] == "TidewellAlreadyStoppedError"

    agent = tidewell_service.get_service()
    agent.uninstall()
    try:
        assert error_of(api.post("/sync/tidewell/start"), 503)["error"] == "TidewellNotInstalledError"
    finally:
        agent.install()


def test_error_log_paging_marking_and_reports(api, env):
    for params in ({}, {"limit": 2, "skip": 1}, {"viewed": False}, {"viewed": True, "limit": 50}):
        page = api.get("/sync/errors", params=params)
        assert page.json() == dump(run(tidewell.get_sync_errors(**params)))
    first = api.get("/sync/errors", params={"limit": 1}).json()[0]
    marked = api.patch(f"/sync/errors/{first['id']}", json={"viewed": True})
    assert marked.status_code == 200 and marked.json()["viewed"] is True
    assert api.patch(f"/sync/errors/{first['id']}", json={"viewed": False}).json()["viewed"] is False
    flipped = api.post("/sync/errors/viewed").json()
    assert isinstance(flipped, int) and flipped >= 1
    assert api.post("/sync/errors/viewed").json() == 0

    for path in ("report", "error-report"):
        text = api.get(f"/sync/tidewell/{path}", params={"message": "slow"}).text
        assert text == run(tidewell.generate_tidewell_report("slow"))
    before = len(env["server"].bug_reports)
    assert api.post("/sync/tidewell/report", json={"message": "slow"}).status_code == 204
    assert env["server"].bug_reports[before]["subject"]


# -- keyfolio ---------------------------------------------------------------------------
def test_token_life_cycle_and_the_secret_only_in_the_create_answer(api, env):
    server = env["server"]
    created = api.post("/auth/local/tokens", json={"name": "laptop"})
    assert created.status_code == 201, created.text
    token = created.json()
    secret = token["api_token"]
    assert token["name"] == "laptop" and len(secret) >= 16
    try:
        assert error_of(api.post("/auth/local/tokens"), 409)["error"] == "UserAlreadyHasTokenError"
        listed = api.get("/auth/local/tokens")
        assert [r["api_key_uid"] for r in listed.json()] == [token["uid"]]
        assert secret not in listed.text
        assert api.get(f"/auth/local/tokens/{token['uid']}/check").json() == {"valid": True}
        server.revoke(token["uid"])
        assert api.get(f"/auth/local/tokens/{token['uid']}/check").json() == {"valid": False}
    finally:
        assert api.delete(f"/auth/local/tokens/{token['uid']}").status_code == 204
    assert error_of(api.delete(f"/auth/local/tokens/{token['uid']}"), 404)["error"] == "TokenNotFoundError"
    assert api.get("/auth/local/tokens").json() == []
    assert secret not in (env["data"] / "logs" / "api.log").read_text(encoding="utf-8")


def test_remote_server_failures_are_502_and_503(api, env):
    server = env["server"]
    server.fail_next(500, "database on fire")
    body = error_of(api.post("/auth/local/tokens"), 502)
    assert body["error"] == "ServerOperationError" and "database on fire" in body["detail"]

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        closed = f"http://127.0.0.1:{s.getsockname()[1]}"
    login("u1", "Ada", "Lovelace", closed)
    try:
        assert error_of(api.post("/auth/local/tokens"), 503)["error"] == "ServerUnreachableError"
        body = error_of(api.post("/sync/tidewell/report", json={"message": "m"}), 503)
        assert closed not in body["detail"]
    finally:
        login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))

    logout()
    try:
        assert error_of(api.post("/auth/local/tokens"), 409)["error"] == "NoUserLoggedInError"
    finally:
        login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))


# -- logs -------------------------------------------------------------------------------
def test_access_log_lands_in_api_log_and_logs_reads_it_back(api, env):
    marker = f"/sync/items/{os.getpid()}777"
    assert api.get(marker).status_code == 404
    pattern = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO uvicorn\.access: 127\.0\.0\.1:\d+ - '
                         + re.escape(f'"GET {marker} HTTP/1.1" 404') + "$")

    def records(n):
        return [r for r in logs.get_recent_log_lines(logs.LogService.api, n) if pattern.match(r)]

    for _ in range(100):  # the log thread writes shortly after the answer
        if records(20):
            break
        asyncio.run(asyncio.sleep(0.02))
    assert len(records(20)) == 1
    over_http = api.get("/admin/logs/api", params={"n": 20}).json()
    assert [r for r in over_http if pattern.match(r)] == records(20)
    assert error_of(api.get("/admin/logs/tidewell", params={"n": 1}), 404)["error"] == "LogFileNotFoundError"


@pytest.mark.parametrize("pace_s", [0, 0.002])
def test_the_log_thread_writes_every_record_once_in_order_whatever_the_pace(pace_s):
    written = []

    class Keep(logging.Handler):
        def emit(self, record):
            written.append(record.getMessage())

    records = queue.SimpleQueue()
    listener = GatheringListener(records, Keep())
    listener.start()
    try:
        records.put(logging.makeLogRecord({"msg": "first"}))
        deadline = time.monotonic() + 5
        while not written and time.monotonic() < deadline:  # an idle thread is woken by a record
            time.sleep(0.01)
        assert written == ["first"]
        for i in range(300):
            records.put(logging.makeLogRecord({"msg": str(i)}))
            time.sleep(pace_s)
    finally:
        listener.stop()
    assert written == ["first"] + [str(i) for i in range(300)]


# -- handlers in process: refused calls and faults ----------------------------------------
def test_refused_calls_are_422_and_faults_a_fixed_500(env):
    from zentab_api.app.main import create_app

    app = create_app("k")
    secret = "s3cr3t-value"

    @app.get("/refused")
    async def refused():
        return await parcelry.get_sync_item("one")

    @app.get("/bad-count")
    async def bad_count():
        return await parcelry.get_sync_item(1, 2)

    @app.get("/inner-type-error")
    async def inner_type_error():
        return len(5)  # a TypeError of ours, not a refused argument

    @app.get("/fault")
    async def fault():
        raise RuntimeError(f"password={secret}")

    async def drive():
        transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
        async with httpx.AsyncClient(transport=transport, base_url="http://127.0.0.1",
                                     headers={"Authorization": "Bearer k"}) as client:
            return [await client.get(p) for p in ("/refused", "/bad-count", "/inner-type-error", "/fault")]

    refused_answer, count_answer, inner_answer, fault_answer = asyncio.run(drive())
    assert error_of(refused_answer, 422)["detail"] == \
        "Argument 'sync_item_id' has incorrect type (expected int, got str)"
    assert "takes exactly 1 positional argument" in error_of(count_answer, 422)["detail"]
    for answer in (inner_answer, fault_answer):
        assert error_of(answer, 500) == {"detail": "Internal server error", "error": "InternalServerError"}
        assert secret not in answer.text and "Traceback" not in answer.text


def test_every_route_handler_is_the_module_function_or_a_body_wrapper(env):
    from zentab_api.app.main import create_app

    wrapped = {"set_sync_status_error_viewed", "report_tidewell", "report_sync_item", "create_api_token",
               "get_recent_log_lines"}
    natives = {name: f for module in MODULES for name, f in vars(module).items()
               if type(f).__name__ == "zentab_function" and not name.startswith("_")}
    for route in create_app("k").routes:
        endpoint = getattr(route, "endpoint", None)
        if route.name in natives:
            assert (endpoint is natives[route.name]) == (route.name not in wrapped), route.name
            if route.name in wrapped:
                assert inspect.iscoroutinefunction(endpoint)


# -- hostile address files ----------------------------------------------------------------
@pytest.mark.parametrize("make", ["world_readable", "symlink", "fifo", "garbage", "bad_port", "directory"])
def test_untrustworthy_address_files_are_ignored(tmp_path, monkeypatch, make):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    path = tmp_path / api_address.ADDRESS_FILE_NAME
    good = '{"port": 8000, "pid": 1, "key": "k"}'
    if make == "world_readable":
        get_data_dir()  # an address file loosened after the data directory was made private
        path.write_text(good)
        path.chmod(0o644)
    elif make == "symlink":
        target = tmp_path / "elsewhere"
        target.write_text(good)
        target.chmod(0o600)
        path.symlink_to(target)
    elif make == "fifo":
        os.mkfifo(path, 0o600)
    elif make == "directory":
        path.mkdir(mode=0o700)
    else:
        path.write_text("{not json" if make == "garbage" else '{"port": 70000, "pid": 1, "key": "k"}')
        path.chmod(0o600)
    assert api_address.read_address() is None


def test_address_round_trip_and_removal_only_by_its_owner(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    service = sync_api.get_service()
    service.claim()  # this process is the local API of the data directory now
    try:
        assert service.pid == os.getpid()
        api_address.write_address(8123, "the-key")
        found = api_address.read_address()
        assert (found.port, found.pid, found.key) == (8123, os.getpid(), "the-key")
        assert stat.S_IMODE(api_address.address_file().stat().st_mode) == 0o600
        api_address.remove_address(pid=os.getpid() + 1)
        assert api_address.read_address() == found
    finally:
        service.release()
    assert service.pid is None
    with pytest.raises(api_address.StaleAddressError, match="the local API is not running"):
        api_address.read_address()
    api_address.remove_address()
    assert api_address.read_address() is None


def test_a_store_fault_is_a_fixed_500_and_its_traceback_one_record_in_api_log(api, env):
    # The service keeps its store connection open, so the fault is made inside the
    # database: a table it needs goes missing, an error nobody maps.
    def rename(old, new):
        with sqlite3.connect(env["data"] / "tidewell.db", timeout=10) as db:
            db.execute(f"ALTER TABLE {old} RENAME TO {new}")

    rename("sync_items", "sync_items_aside")
    try:
        answer = api.get("/sync/items/1")
    finally:
        rename("sync_items_aside", "sync_items")
    assert error_of(answer, 500) == {"detail": "Internal server error", "error": "InternalServerError"}
    assert "Traceback" not in answer.text and str(env["data"]) not in answer.text
    # The same keep-alive connection serves on.
    assert api.get("/sync/items/1").status_code == 200

    def fault_records():
        return [r for r in logs.get_recent_log_lines(logs.LogService.api, 50)
                if " ERROR zentab_api.app: GET /sync/items/1 failed" in r]

    for _ in range(100):
        if fault_records():
            break
        asyncio.run(asyncio.sleep(0.02))
    (record,) = fault_records()
    lines = record.splitlines()
    assert lines[1] == "Traceback (most recent call last):"
    assert any(line.startswith("sqlalchemy.exc.OperationalError") for line in lines)


def test_the_load_benchmarks_lean_client_reads_what_httpx_reads(api, env):
    """bench/api_load.py times its own HTTP/1.1 client: its answers must be the real ones."""
    import importlib.util
    from pathlib import Path

    spec = importlib.util.spec_from_file_location(
        "api_load", Path(__file__).resolve().parents[2] / "bench" / "api_load.py")
    api_load = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(api_load)

    async def compare():
        connection = api_load.LeanConnection(env["address"])
        try:  # one keep-alive connection for all: each answer must be read to its last byte
            for name, method, path, expected in api_load.MIX:
                lean = await connection.request(method, path.format(item=3))
                reference = api.request(method, path.format(item=3))  # nothing writes in between
                assert lean.status_code == reference.status_code == expected, name
                if method == "GET" and name != "GET /admin/logs/api":  # the log grows with every request
                    assert lean.content == reference.content, name
                assert api_load._answers(name, 3, lean), name
        finally:
            await connection.close()

    run(compare())


def test_the_asyncio_loop_serves_as_well(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    monkeypatch.setenv("ZENTAB_API_LOOP", "asyncio")
    service = sync_api.get_service()
    pid = service.start()
    try:
        found = api_address.wait_for_address(pid)
        answer = httpx.get(f"{found.url}/sync/status", headers=found.headers, timeout=15)
        assert answer.status_code == 200 and answer.json()["sync_api_service"] == "running"
    finally:
        assert service.stop() is True
    log = (tmp_path / "logs" / "api.log").read_text(encoding="utf-8")
    assert f"(pid {pid}, asyncio loop)" in log and '"GET /sync/status HTTP/1.1" 200' in log


def test_a_port_in_use_is_one_line_on_the_console_and_in_api_log(tmp_path, monkeypatch, env):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    taken = env["address"].port
    done = subprocess.run([sys.executable, "-m", "zentab_api.service", "--port", str(taken)],
                          capture_output=True, text=True, timeout=60)
    line = f"Cannot listen on 127.0.0.1:{taken}: the port is in use (choose another with --port, or 0 for a free one)"
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"zentab local API: {line}\n")
    assert api_address.read_address() is None and sync_api.get_service().pid is None
    log = (tmp_path / "logs" / "api.log").read_text(encoding="utf-8")
    assert f"ERROR zentab_api.service: Local API not started: {line}\n" in log and "Traceback" not in log


def test_the_foreground_service_says_where_it_listens_is_itself_and_refuses_a_second(tmp_path, monkeypatch):
    from api_process import Foreground

    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    first = Foreground(tmp_path, "--loop", "asyncio", umask=0o022)
    try:
        url = first.address.url
        console = [first.proc.stdout.readline() for _ in range(5)]
        assert console == [f"zentab local API listening on {url} (pid {first.proc.pid}, asyncio loop)\n",
                           f"  documentation: {url}/docs\n",
                           f"  address file:  {api_address.address_file()} (URL and the key clients send)\n",
                           f"  log:           {tmp_path / 'logs' / 'api.log'}\n",
                           f"Stop it with Ctrl+C (or kill {first.proc.pid}).\n"]
        status = httpx.get(f"{url}/sync/status", headers=first.address.headers, timeout=30).json()
        assert status["sync_api_service"] == "running" and sync_api.get_service().pid == first.proc.pid
        # The log is private however the service was started (the umask here is 022).
        assert stat.S_IMODE((tmp_path / "logs" / "api.log").stat().st_mode) == 0o600

        second = Foreground(tmp_path, wait=False)
        code, out, err = second.finish(timeout=60)
        assert (code, out) == (1, "")
        assert err == (f"zentab local API: another local API already runs for the data directory {tmp_path} "
                       f"(pid {first.proc.pid}, {url}); stop it first (Ctrl+C in its terminal, or kill "
                       f"{first.proc.pid})\n")
        assert api_address.read_address() == first.address  # the first keeps its address file
    finally:
        code, _, _ = first.stop()
    assert code == 0 and api_address.read_address() is None and sync_api.get_service().pid is None


# Last in the module: stops the shared service.
def test_stop_removes_the_address_and_logs_a_clean_exit(env):
    service = env["service"]
    assert service.stop() is True
    assert api_address.read_address() is None
    log = (env["data"] / "logs" / "api.log").read_text(encoding="utf-8")
    assert "uvicorn.error: Shutting down" in log
    assert log.rstrip().endswith(f"Local API stopped (pid {env['pid']})")

