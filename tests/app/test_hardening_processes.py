"""Only our own agent is ever signalled; every wait is bounded and says what it waited for."""
import asyncio
import fcntl
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from hardening import IS_ROOT, NOBODY
from zentab_api.python_api.sync import tidewell as tidewell_api
from zentab_service_manager import ServiceManager
from zentab_service_manager import service as service_module
from zentab_service_manager.service import BackgroundService, _start_time
from zentab_service_manager.services import tidewell
from zentab_service_manager.status import RunningStatus


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path / "a"))
    monkeypatch.setenv("ZENTAB_AGENT_INTERVAL", "0.05")
    yield tmp_path / "a"
    ServiceManager().stop_all()


def _spawn(args, **kwargs):
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            **kwargs)
    deadline = time.monotonic() + 5
    while _start_time(proc.pid) is None and time.monotonic() < deadline:
        time.sleep(0.01)
    return proc


def _forge_record(service, pid, data_dir):
    service.pid_file.write_text(json.dumps({"pid": pid, "start_time": _start_time(pid), "module": service.module,
                                            "data_dir": str(Path(data_dir).resolve())}))


def _look_alikes(tmp_path):
    """Processes a command-line match would take for our agent."""
    other_dir = tmp_path / "other"
    env = dict(os.environ, ZENTAB_DATA_DIR=str(other_dir))
    yield "agent of another data dir", lambda: _spawn([sys.executable, "-m", "zentab_tidewell.agent"], env=env)
    yield "names the agent", lambda: _spawn([sys.executable, "-c", "import time; time.sleep(60)",
                                              "zentab_tidewell.agent", str(tmp_path / "a")])


@pytest.mark.parametrize("kind", ["agent of another data dir", "names the agent"])
@pytest.mark.parametrize("record", ["plain pid", "forged record"])
def test_a_look_alike_process_survives_stop_tidewell(data_dir, tmp_path, kind, record):
    stranger = dict(_look_alikes(tmp_path))[kind]()
    try:
        service = tidewell.get_service()
        if record == "plain pid":
            service.pid_file.write_text(f"{stranger.pid}\n")
        else:
            _forge_record(service, stranger.pid, data_dir)  # right pid, start time and dir; no run lock
        assert service.status.running_status is RunningStatus.STOPPED
        with pytest.raises(tidewell_api.TidewellAlreadyStoppedError):
            asyncio.run(tidewell_api.stop_tidewell())
        assert service.stop() is False
        time.sleep(0.1)
        assert stranger.poll() is None
        # And a real start is not blocked by it.
        pid = service.start()
        assert pid != stranger.pid and service.status.running_status is RunningStatus.RUNNING
        assert service.stop() is True and stranger.poll() is None
    finally:
        stranger.kill()
        stranger.wait()


@pytest.mark.skipif(not IS_ROOT, reason="needs a process of another user")
def test_a_process_of_another_user_is_not_ours(data_dir):
    stranger = _spawn(["/bin/sleep", "60"], user=NOBODY, group=NOBODY, extra_groups=[])
    try:
        service = tidewell.get_service()
        _forge_record(service, stranger.pid, data_dir)
        assert service.status.running_status is RunningStatus.STOPPED
        assert service.stop() is False and stranger.poll() is None
        pid = service.start()
        assert pid != stranger.pid and service.pid == pid
    finally:
        stranger.kill()
        stranger.wait()


def test_our_agent_is_recognised_by_a_fresh_service_object(data_dir):
    pid = tidewell.get_service().start()
    other = BackgroundService("tidewell", "zentab_tidewell.agent")  # as another process of the app
    assert other.pid == pid and other.start() == pid
    record = json.loads(other.pid_file.read_text())
    assert record == {"pid": pid, "start_time": _start_time(pid), "data_dir": str(data_dir.resolve()),
                      "module": "zentab_tidewell.agent"}
    assert other.stop() is True
    assert tidewell.get_service().pid is None
    assert not Path(f"/proc/{pid}").exists()  # reaped, not left as a zombie


STUBBORN = """
import os, signal, subprocess, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
if os.environ.get("STUBBORN_HELPER"):
    # a helper that inherits every descriptor, the run lock included
    helper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"], close_fds=False)
    with open(os.environ["STUBBORN_HELPER"], "w") as fh:
        fh.write(str(helper.pid))
while True:
    time.sleep(0.1)
"""


@pytest.fixture
def stubborn(data_dir, tmp_path, monkeypatch):
    (tmp_path / "stubborn_agent.py").write_text(STUBBORN)
    monkeypatch.setenv("PYTHONPATH", str(tmp_path))
    monkeypatch.setattr(service_module, "STOP_TIMEOUT_S", 0.3)
    monkeypatch.setattr(service_module, "KILL_TIMEOUT_S", 1.0)
    service = BackgroundService("stubborn", "stubborn_agent")
    yield service
    helper_file = tmp_path / "helper.pid"
    if helper_file.exists():
        os.kill(int(helper_file.read_text()), 9)


def test_stop_escalates_to_sigkill_within_its_bound_and_reaps(stubborn):
    pid = stubborn.start()
    time.sleep(0.3)  # let it install its SIGTERM handler
    started = time.monotonic()
    assert stubborn.stop() is True
    assert time.monotonic() - started < 0.3 + 1.0 + 0.5
    assert not Path(f"/proc/{pid}").exists() and pid not in service_module._children


def test_stop_says_what_it_waited_for_when_the_agent_outlives_sigkill(stubborn, data_dir, monkeypatch):
    helper_file = data_dir.parent / "helper.pid"
    monkeypatch.setenv("STUBBORN_HELPER", str(helper_file))
    pid = stubborn.start()
    deadline = time.monotonic() + 30  # the helper must hold the lock before the stop begins
    while not (helper_file.exists() and helper_file.read_text()) and time.monotonic() < deadline:
        time.sleep(0.05)
    with pytest.raises(TimeoutError, match=rf"Service stubborn \(pid {pid}\) did not exit within 1 s after SIGKILL"):
        stubborn.stop()


def test_the_start_stop_lock_is_waited_for_with_a_bound(data_dir, monkeypatch):
    monkeypatch.setattr(service_module, "LOCK_TIMEOUT_S", 0.3)
    service = tidewell.get_service()
    lock_path = service_module.services_dir() / "tidewell.lock"
    holder = subprocess.Popen([sys.executable, "-c", "import fcntl, sys, time\n"
                               f"f = open({str(lock_path)!r}, 'a'); fcntl.flock(f, fcntl.LOCK_EX)\n"
                               "print('held', flush=True); time.sleep(30)"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        for call in (service.start, service.stop):
            started = time.monotonic()
            with pytest.raises(TimeoutError, match="start/stop lock of service tidewell .*tidewell.lock"):
                call()
            assert time.monotonic() - started < 2
    finally:
        holder.kill()
        holder.wait()
    assert service.stop() is False  # free again
