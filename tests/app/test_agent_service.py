"""Background services: file-kept state, and one real run of the Tidewell agent."""
import asyncio
import json
import subprocess
import sys
import time

import pytest

import zentab_api
from zentab_service_manager import ServiceManager, ServiceNotInstalledError
from zentab_service_manager.service import BackgroundService
from zentab_service_manager.services import sync_api, tidewell
from zentab_service_manager.status import EnablementStatus, InstallationStatus, RunningStatus
from zentab_tidewell import LOG_FILE_NAME
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import get_db_session_context


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    monkeypatch.setenv("ZENTAB_AGENT_INTERVAL", "0.05")
    yield tmp_path
    # Whatever a test started in this data dir is stopped here, even after a failure.
    ServiceManager().stop_all()


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"condition not met within {timeout} s")


def iteration_count():
    async def read():
        async with get_db_session_context() as db:
            return (await crud_sync_status.get_status(db)).sync_iteration_count
    return asyncio.run(read())


def test_tidewell_agent_runs_counts_logs_and_stops(data_dir):
    service = tidewell.get_service()
    assert service.status.running_status is RunningStatus.STOPPED
    pid = service.start()
    assert service.start() == pid  # second start is harmless
    assert service.status.running_status is RunningStatus.RUNNING

    first = wait_for(iteration_count)
    wait_for(lambda: iteration_count() >= first + 2)
    log = data_dir / "logs" / LOG_FILE_NAME
    wait_for(lambda: log.exists() and "Iteration" in log.read_text(encoding="utf-8"))

    assert service.stop() is True
    assert service.status.running_status is RunningStatus.STOPPED
    assert not service.pid_file.exists()
    assert "Tidewell agent stopping" in log.read_text(encoding="utf-8")  # SIGTERM ended it cleanly
    assert service.stop() is False


@pytest.mark.parametrize("module", [tidewell, sync_api])
def test_install_and_enable_state_is_on_disk(data_dir, module):
    service = module.get_service()
    assert service.status.installation_status is InstallationStatus.INSTALLED
    assert service.status.enablement_status is EnablementStatus.ENABLED
    service.disable()
    service.uninstall()
    # A fresh object (as another process would have) reads the same state.
    other = BackgroundService(service.name, service.module)
    assert (other.status.installation_status, other.status.enablement_status) == \
        (InstallationStatus.NOT_INSTALLED, EnablementStatus.DISABLED)
    assert json.loads(service.state_file.read_text()) == {"installed": False, "enabled": False}
    with pytest.raises(ServiceNotInstalledError):
        other.start()
    assert not service.pid_file.exists()
    service.install()
    service.enable()
    assert other.status.installation_status is InstallationStatus.INSTALLED


@pytest.mark.parametrize("pid_text", ["not a pid", "-4", "999999999"])
def test_garbage_pid_file_means_stopped(data_dir, pid_text):
    service = tidewell.get_service()
    service.pid_file.write_text(pid_text)
    assert service.status.running_status is RunningStatus.STOPPED
    assert service.stop() is False and not service.pid_file.exists()


def test_recycled_pid_of_another_program_is_left_alone(data_dir):
    stranger = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
    try:
        service = tidewell.get_service()
        service.pid_file.write_text(f"{stranger.pid}\n")
        assert service.status.running_status is RunningStatus.STOPPED
        service.stop()
        assert stranger.poll() is None
    finally:
        stranger.kill()
        stranger.wait()


def test_manager_knows_both_services():
    manager = ServiceManager()
    assert set(manager.names()) == {"tidewell", "sync_api"}
    assert manager.get("sync_api").module == "zentab_api.service"
    with pytest.raises(KeyError):
        manager.get("nope")
