"""The tidewell module on the embedded default: the real agent process, store and loopback server."""
import asyncio
import time

import pytest

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_api.app.exceptions.sync.tidewell_handler import (TidewellAlreadyRunningError,
                                                             TidewellAlreadyStoppedError,
                                                             TidewellNotInstalledError)
from zentab_api.app.schemas.sync.sync_status import ServiceStatus, SyncStatusErrors, TidewellStatus
from zentab_client.settings.user_settings import save_user_settings
from zentab_service_manager import ServiceManager
from zentab_service_manager.services import tidewell as tidewell_service
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import get_db_session_context
from zentab_tidewell.exceptions import SyncStatusErrorRecordNotFoundError
from zentab_tidewell.models.enums import SyncLoopStatus


@pytest.fixture
def store(data_dir, monkeypatch):
    monkeypatch.setenv("ZENTAB_AGENT_INTERVAL", "0.05")
    yield data_dir
    ServiceManager().stop_all()  # whatever a test started is stopped, even after a failure


async def stored_loop_status():
    async with get_db_session_context() as db:
        return (await crud_sync_status.get_status(db)).status


async def record_errors(*messages):
    async with get_db_session_context() as db:
        return [(await crud_sync_status.record_error(db, m)).id for m in messages]


def test_start_status_stop_with_the_real_agent(store):
    async def scenario():
        started = await tidewell.start_tidewell()
        assert (started.tidewell_service, started.tidewell_status) == (ServiceStatus.RUNNING, TidewellStatus.RUNNING)
        assert tidewell_service.get_service().pid is not None
        with pytest.raises(TidewellAlreadyRunningError, match="^Tidewell is already running$"):
            await tidewell.start_tidewell()

        deadline = time.monotonic() + 30
        status = await tidewell.get_sync_status()
        while status.sync_iteration_count < 1 and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
            status = await tidewell.get_sync_status()
        assert status.tidewell_status is TidewellStatus.RUNNING and status.sync_iteration_count >= 1
        assert status.last_update is not None

        stopped = await tidewell.stop_tidewell()
        assert (stopped.tidewell_service, stopped.tidewell_status) == (ServiceStatus.NOT_RUNNING,
                                                                       TidewellStatus.UNAVAILABLE)
        assert stopped.sync_iteration_count >= status.sync_iteration_count
        assert await stored_loop_status() is SyncLoopStatus.RUNNING  # stop writes nothing
        with pytest.raises(TidewellAlreadyStoppedError, match="^Tidewell is not running, cannot stop$"):
            await tidewell.stop_tidewell()

    asyncio.run(scenario())


def test_uninstalled_agent_cannot_start_and_reads_as_not_installed(store):
    service = tidewell_service.get_service()
    service.uninstall()
    with pytest.raises(TidewellNotInstalledError, match="^Tidewell is not installed, cannot start$"):
        asyncio.run(tidewell.start_tidewell())
    status = asyncio.run(tidewell.get_sync_status())
    assert status.tidewell_service is ServiceStatus.NOT_INSTALLED and service.pid is None


def test_error_log_paging_flags_and_missing_record_on_the_real_store(store):
    async def scenario():
        ids = await record_errors("first", "second", "third")
        assert await tidewell.get_sync_errors() != []
        page = await tidewell.get_sync_errors(limit=2, skip=0, viewed=False)
        assert all(type(e) is SyncStatusErrors for e in page) and len(page) == 2
        flipped = await tidewell.set_sync_status_error_viewed(ids[0], "yes")
        assert (flipped.id, flipped.viewed) == (ids[0], True)
        unread = await tidewell.get_sync_errors(limit=1000, viewed=False)
        assert ids[0] not in [e.id for e in unread] and {ids[1], ids[2]} <= {e.id for e in unread}
        assert await tidewell.mark_all_sync_status_errors_viewed() == len(unread)
        assert await tidewell.mark_all_sync_status_errors_viewed() == 0
        assert await tidewell.get_sync_errors(viewed=False) == []
        with pytest.raises(SyncStatusErrorRecordNotFoundError):
            await tidewell.set_sync_status_error_viewed(10**6, True)

    asyncio.run(scenario())


def test_report_reaches_the_loopback_server(store, remote_server):
    save_user_settings(user_sub="u1", server_url=remote_server.url)

    async def scenario():
        await record_errors("remote {0} refused")
        text = await tidewell.get_tidewell_error_report("stuck since {monday}")
        assert text == await tidewell.generate_tidewell_report("stuck since {monday}")
        assert await tidewell.report_tidewell("stuck since {monday}") is None
        return text

    text = asyncio.run(scenario())
    assert remote_server.bug_reports == [{"subject": "Tidewell BUG REPORT", "description": text}]
    assert text.startswith("stuck since {monday}\n") and "remote {0} refused" in text and "N/A" in text


def test_report_to_an_unreachable_server_fails_and_sends_nothing(store, remote_server):
    save_user_settings(user_sub="u1", server_url=remote_server.url)
    remote_server.stop()
    with pytest.raises(ConnectionError):
        asyncio.run(tidewell.report_tidewell("m"))
