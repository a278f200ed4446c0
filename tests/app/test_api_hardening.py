"""The local API against other local users, hostile clients and a slow server: real processes,
real sockets, clients and servers made to misbehave."""
import asyncio
import os
import signal
import socket
import stat
import sqlite3
import threading
import time

import httpx
import pytest

from api_process import Foreground, closed_by_peer, connect, error_body, head, read_answer
from zentab_api.app import address as api_address
from zentab_api.app.guard import MAX_BODY_BYTES
from zentab_api.protocol import MAX_HEAD_BYTES, REQUEST_TIMEOUT_S
from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_client.local.database import dispose_engines
from zentab_client.remote.keyfolio import TOKEN_CACHE
from zentab_client.settings.user_settings import login
from zentab_server import start_server
from zentab_service_manager import ServiceManager
from zentab_service_manager.services import sync_api
from zentab_service_manager.services import tidewell as tidewell_service

FORGED = "2024-01-01 00:00:00,000 ERROR forged"


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    data = tmp_path_factory.mktemp("api-hardening")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZENTAB_DATA_DIR", str(data))
        server = start_server()
        login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))
        pid = sync_api.get_service().start()
        try:
            found = api_address.wait_for_address(pid, timeout=60)
            with httpx.Client(base_url=found.url, headers=found.headers, timeout=30) as client:
                yield {"data": data, "server": server, "pid": pid, "address": found, "client": client}
        finally:
            ServiceManager().stop_all()
            server.stop()
            TOKEN_CACHE.clear()
            dispose_engines()


def relogin(env, url=None):
    server = env["server"]
    login("u1", "Ada", "Lovelace", url or server.url, access_token=server.issue_login("u1"))


def api_records(n=400):
    return logs.get_recent_log_lines(logs.LogService.api, n)


def wait_for(condition, within=30.0, what="the condition"):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, f"waited {within} s for {what}"
        time.sleep(0.05)


# -- the head is judged before the body, and bounded -------------------------------------
HUGE = 256 * 1024 * 1024


@pytest.mark.parametrize("case,key,host,extra,body,status,error", [
    # Not one byte of the 256 MiB is sent: the answer must come from the head alone.
    ("no key, huge body", False, "127.0.0.1", f"Content-Length: {HUGE}\r\n", b"", 401, "Unauthorized"),
    ("key, huge body", True, "127.0.0.1", f"Content-Length: {HUGE}\r\n", b"", 413, "RequestTooLarge"),
    ("no key, broken JSON", False, "127.0.0.1", "Content-Type: application/json\r\nContent-Length: 5\r\n", b"{bad}",
     401, "Unauthorized"),
    ("rebound host", True, "evil.example:80", "", b"", 400, "InvalidHost"),
    ("no key, chunked", False, "127.0.0.1", "Transfer-Encoding: chunked\r\n", b"", 401, "Unauthorized"),
    ("header block", True, "127.0.0.1", "X-Pad: " + "a" * (MAX_HEAD_BYTES + 1) + "\r\n", b"", 431,
     "RequestHeaderFieldsTooLarge"),
    ("endless header", True, "127.0.0.1", "X-Pad: " + "a" * (MAX_HEAD_BYTES + 1000), None, 431,
     "RequestHeaderFieldsTooLarge"),
])
def test_a_request_is_refused_on_its_head_before_its_body_is_read(env, case, key, host, extra, body, status, error):
    with connect(env["address"]) as sock:
        raw = head(env["address"], "POST", "/sync/tidewell/report", key=key, host=host, extra=extra)
        sock.sendall(raw[:-2] if body is None else raw + body)  # None: the head never ends
        got, headers, answer = read_answer(sock)
        assert (got, error_body(answer)["error"]) == (status, error), case
        assert headers["content-type"] == "application/json"
        if status == 401:
            assert headers["www-authenticate"] == "Bearer"


def test_a_body_without_a_declared_size_is_cut_at_the_limit(env):
    with connect(env["address"]) as sock:
        sock.sendall(head(env["address"], "POST", "/sync/tidewell/report",
                          extra="Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n"))
        # One byte past the limit, and no end: the service must not wait for more.
        for size in (MAX_BODY_BYTES // 2, MAX_BODY_BYTES // 2, 1):
            sock.sendall(b"%x\r\n" % size + b"x" * size + b"\r\n")
        status, headers, body = read_answer(sock)
    assert status == 413 and headers["connection"] == "close" and error_body(body)["error"] == "RequestTooLarge"


def test_connections_that_never_complete_a_request_are_closed(env):
    address = env["address"]
    idle, slow, stalled = connect(address), connect(address), connect(address)
    stalled.sendall(head(address, "POST", "/sync/tidewell/report",
                         extra="Content-Type: application/json\r\nContent-Length: 1000\r\n") + b'{"message": "')
    started = time.monotonic()
    try:
        raw = head(address, "GET", "/sync/status")
        for i in range(len(raw) - 1):  # slowloris: a byte at a time, never the last
            try:
                slow.sendall(raw[i:i + 1])
            except OSError:
                break
            if closed_by_peer(slow, 0.3):
                break
        assert time.monotonic() - started < 4 * REQUEST_TIMEOUT_S
        for sock in (idle, stalled):
            assert closed_by_peer(sock, 4 * REQUEST_TIMEOUT_S)
    finally:
        for sock in (idle, slow, stalled):
            sock.close()
    # Honest keep-alive clients are served as before.
    assert env["client"].get("/sync/status").status_code == 200


@pytest.mark.parametrize("loop", ["uvloop", "asyncio"])
def test_a_connection_flood_under_a_low_descriptor_limit_leaves_room_and_the_log(tmp_path, loop):
    service = Foreground(tmp_path, "--loop", loop, nofile=256)
    held = []
    try:
        address = service.address
        for _ in range(400):  # more than the descriptors the service has
            held.append(connect(address, timeout=30))
        answer = httpx.get(f"{address.url}/sync/status", headers=address.headers, timeout=30)
        assert answer.status_code == 200
    finally:
        for sock in held:
            sock.close()
        code, _, _ = service.stop()
    log = (tmp_path / "logs" / "api.log").read_text(encoding="utf-8")
    assert code == 0 and "Local API listening on" in log
    assert len(log) < 200_000, f"{len(log)} bytes of log for one flood"


# -- a slow remote server ----------------------------------------------------------------
class Dribbler:
    """Answers every request with a head at once, then one byte of its body each 0.25 s."""

    def __init__(self, seconds):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}"
        self.seconds = seconds
        self.stopping = threading.Event()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        self.listener.settimeout(0.2)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return  # stopped
            threading.Thread(target=self.dribble, args=(conn,), daemon=True).start()

    def dribble(self, conn):
        with conn:
            conn.recv(65536)
            steps = int(self.seconds / 0.25)
            try:
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % steps)
                for _ in range(steps):
                    if self.stopping.wait(0.25):
                        return
                    conn.sendall(b" ")
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        self.listener.close()


def test_a_server_that_dribbles_its_answer_costs_at_most_the_call_deadline(env):
    dribbler = Dribbler(seconds=40)
    relogin(env, dribbler.url)
    try:
        started = time.monotonic()
        answer = env["client"].post("/auth/local/tokens", json={"name": "slow"})
        elapsed = time.monotonic() - started
    finally:
        relogin(env)
        dribbler.stop()
    assert answer.status_code == 502 and "did not answer within 5 s" in error_body(answer.content)["detail"]
    assert elapsed < 20, f"a 5 s deadline took {elapsed:.1f} s"


# -- the agent and the address file --------------------------------------------------------
def test_an_agent_that_cannot_be_recorded_is_stopped_and_nothing_is_left(env):
    api = env["client"]
    services = env["data"] / "services"
    agent = tidewell_service.get_service()
    blocker = services / "tidewell.pid"
    blocker.mkdir()  # the pid file cannot be written, as on a full disk
    try:
        body = error_body(api.post("/sync/tidewell/start").content)
    finally:
        blocker.rmdir()
    assert body["error"] == "ServiceStartError" and "could not record" in body["detail"]
    assert not agent._run_lock_held()  # no agent runs, recorded or not
    assert [p.name for p in services.iterdir() if p.name.endswith(".tmp")] == []
    assert api.post("/sync/tidewell/stop").status_code == 409
    started = api.post("/sync/tidewell/start")
    assert started.status_code == 200 and started.json()["tidewell_service"] == "running"
    assert api.post("/sync/tidewell/stop").status_code == 200


def test_a_stale_address_file_is_refused_and_the_next_start_replaces_it(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    service = sync_api.get_service()
    first = api_address.wait_for_address(service.start(), timeout=60)
    os.kill(first.pid, signal.SIGKILL)
    wait_for(lambda: service.pid is None, what="the killed service to be gone")
    # Another local user takes the freed port and waits for our clients and their key.
    rogue = socket.socket()
    rogue.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)

    def bound():  # the dying process closes its run lock before its listening socket
        try:
            rogue.bind(("127.0.0.1", first.port))
        except OSError:
            return False
        return True

    wait_for(bound, what=f"port {first.port} to be free")
    rogue.listen()
    rogue.settimeout(0.5)
    try:
        with pytest.raises(api_address.StaleAddressError, match=f"names pid {first.pid}"):
            api_address.read_address()
        with pytest.raises(socket.timeout):
            rogue.accept()
    finally:
        rogue.close()
    second = api_address.wait_for_address(service.start(), timeout=60)
    try:
        assert second.pid != first.pid and api_address.read_address() == second
    finally:
        service.stop()
    assert not api_address.address_file().exists()


# -- what clients and servers control stays in its place ----------------------------------
def test_line_breaks_in_client_and_server_values_stay_in_one_record(env):
    api, server = env["client"], env["server"]
    created = api.post("/auth/local/tokens", json={"name": f"laptop\n{FORGED}: by a token name"})
    assert created.status_code == 201
    assert api.delete(f"/auth/local/tokens/{created.json()['uid']}").status_code == 204
    server.fail_next(500, f"boom\r\n{FORGED}: by a server")
    assert api.post("/sync/tidewell/report", json={"message": "m"}).status_code == 502

    def written():
        text = "\n".join(api_records())
        return all(f in text for f in ("forged: by a token name", "forged: by a server"))

    wait_for(written, what="the records to reach api.log")
    for record in api_records():
        assert not record.startswith(FORGED), record
        assert all(not line.startswith(FORGED) for line in record.splitlines()), record


@pytest.mark.parametrize("body", [
    b'{"message": NaN}', b'{"message": Infinity}', b'{"message": -Infinity}', b'{"message": 1e400}',
    b'{"message": "\\ud800"}', b'{"message": "m", "\\udfff": 1}',
])
def test_a_body_that_is_not_standard_json_is_422(env, body):
    answer = env["client"].post("/sync/tidewell/report", content=body, headers={"Content-Type": "application/json"})
    assert answer.status_code == 422, answer.text
    assert error_body(answer.content)["error"] == "RequestValidationError"


def test_a_token_name_that_is_not_text_is_listed_safely(env):
    name = "bad \ud800 name"  # the Python call takes it; JSON escapes it
    created = asyncio.run(keyfolio.create_api_token(name))
    try:
        listed = env["client"].get("/auth/local/tokens")
        assert listed.status_code == 200 and [t["api_key_name"] for t in listed.json()] == [name]
    finally:
        assert env["client"].delete(f"/auth/local/tokens/{created.uid}").status_code == 204


def test_a_busy_store_answers_503_saying_so(env):
    holder = sqlite3.connect(env["data"] / "tidewell.db", isolation_level=None, timeout=30)
    holder.execute("BEGIN IMMEDIATE")  # another process holds the write lock past the wait
    try:
        answer = env["client"].post("/sync/items/1/prioritize")
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert answer.status_code == 503
    assert error_body(answer.content) == {"detail": "The sync store is busy; try again in a moment.",
                                          "error": "StoreBusyError"}
    assert env["client"].post("/sync/items/1/prioritize").status_code == 204


# -- the document, methods and the network stack -------------------------------------------
@pytest.mark.parametrize("method,path,allow", [
    ("PATCH", "/sync/errors/viewed", "POST"), ("PUT", "/sync/tidewell/report", "GET, POST"),
    ("DELETE", "/auth/local/tokens", "GET, POST"), ("GET", "/sync/errors/3", "PATCH"),
])
def test_a_method_a_path_does_not_take_is_405_with_every_method_it_takes(env, method, path, allow):
    answer = env["client"].request(method, path)
    assert (answer.status_code, answer.headers["allow"]) == (405, allow)
    assert error_body(answer.content)["error"] == "MethodNotAllowed"


@pytest.mark.parametrize("loop", ["uvloop", "asyncio"])
def test_no_answer_waits_for_the_clients_delayed_ack(tmp_path, loop):
    """With Nagle on, the body of each answer after the first waits some 40 ms for the ACK of its head."""
    service = Foreground(tmp_path, "--loop", loop)
    try:
        gaps = []
        with connect(service.address) as sock:
            for _ in range(12):
                sock.sendall(head(service.address, "GET", "/sync/status"))
                data = b""
                while b"\r\n\r\n" not in data:
                    data += sock.recv(65536)
                head_at = time.monotonic()
                length = int(data.split(b"content-length: ", 1)[1].split(b"\r\n", 1)[0])
                while len(data.partition(b"\r\n\r\n")[2]) < length:
                    data += sock.recv(65536)
                gaps.append(time.monotonic() - head_at)
    finally:
        service.stop()
    assert min(gaps[1:]) < 0.02, [round(g * 1000, 1) for g in gaps]


# -- the log under rotation ----------------------------------------------------------------
def test_a_log_read_racing_rotations_never_fails(tmp_path, monkeypatch):
    """The service's own handler rotates a small log while /admin/logs' reader reads it."""
    import logging

    from zentab_service_manager.logfile import RecordFormatter, RotatingLog

    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    path = tmp_path / "logs" / "api.log"
    path.parent.mkdir(mode=0o700)
    handler = RotatingLog(path, maxBytes=4096, backupCount=1, encoding="utf-8")
    handler.setFormatter(RecordFormatter())
    writer = logging.getLogger("rotation-race")
    writer.propagate, writer.level = False, logging.INFO
    writer.addHandler(handler)
    writer.info("first")
    done, failures, reads = threading.Event(), [], 0

    def write():
        try:
            for i in range(4000):
                writer.info("record %d %s", i, "x" * 60)
        finally:
            done.set()

    thread = threading.Thread(target=write)
    thread.start()
    try:
        while not done.is_set():
            for n in (5, -1):
                try:
                    assert logs.get_recent_log_lines(logs.LogService.api, n)
                except Exception as exc:  # noqa: BLE001 - any failure is the finding
                    failures.append(repr(exc))
                reads += 1
    finally:
        thread.join()
        writer.removeHandler(handler)
        handler.close()
    assert reads > 20 and failures == []
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
