"""Recording doubles for the tidewell module's collaborators, shared by the test_tidewell_* files.

Every double appends what it sees to one log, in order, so a test can compare the whole
conversation: ("open",), ("enter",), ("exit", type, value), store calls as
(method, positional args, keyword items in order), service calls as (service, what).
"""
import asyncio
import dataclasses
from datetime import datetime, timezone
from types import SimpleNamespace

import pytest

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_service_manager.status import (EnablementStatus, InstallationStatus, RunningStatus,
                                           ServiceStatusSnapshot)
from zentab_tidewell.models.enums import SyncLoopStatus

WHEN = datetime(2024, 5, 6, 7, 8, 9, tzinfo=timezone.utc)


def snapshot(installed=True, running=False, enabled=True):
    return ServiceStatusSnapshot(
        installation_status=InstallationStatus.INSTALLED if installed else InstallationStatus.NOT_INSTALLED,
        running_status=RunningStatus.RUNNING if running else RunningStatus.STOPPED,
        enablement_status=EnablementStatus.ENABLED if enabled else EnablementStatus.DISABLED,
    )


def status_model(loop=SyncLoopStatus.STOPPED, count=3, last_update=WHEN):
    return SimpleNamespace(status=loop, sync_iteration_count=count, last_update=last_update)


class Service:
    """A service object; `fail` maps "status" / "start" / "stop" to an error to raise there."""

    def __init__(self, log, name, snap):
        self.log, self.name, self.snapshot, self.fail = log, name, snap, {}

    def _step(self, what):
        self.log.append((self.name, what))
        if what in self.fail:
            raise self.fail[what]

    @property
    def status(self):
        self._step("status")
        return self.snapshot

    def start(self):
        self._step("start")
        self.snapshot = dataclasses.replace(self.snapshot, running_status=RunningStatus.RUNNING)
        return "ignored"

    def stop(self):
        self._step("stop")
        self.snapshot = dataclasses.replace(self.snapshot, running_status=RunningStatus.STOPPED)
        return "ignored"


class ServiceModule:
    def __init__(self, service):
        self.service = service
        self.error = None

    def get_service(self, *args, **kwargs):
        self.service.log.append((self.service.name, "get_service") + args + tuple(kwargs))
        if self.error is not None:
            raise self.error
        return self.service


class Session:
    def __init__(self, harness):
        self.h = harness

    async def __aenter__(self):
        self.h.log.append(("enter",))
        if self.h.enter_error is not None:
            raise self.h.enter_error
        return self.h.db

    async def __aexit__(self, exc_type, exc, tb):
        self.h.log.append(("exit", exc_type, exc))
        return self.h.suppress


class Store:
    """crud_sync_status: each method logs its call form; `results[name]` is returned, raised
    (an exception), awaited (a future) or called with the arguments (a function)."""

    def __init__(self, log):
        self.log = log
        self.results = {}

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.log.append((name, args, tuple(kwargs.items())))
            return self._answer(name, args)

        return method

    async def _answer(self, name, args):
        result = self.results[name]
        if isinstance(result, BaseException):
            raise result
        if isinstance(result, asyncio.Future):
            return await result
        if callable(result):
            return result(*args)
        return result


class Harness:
    """Installs the doubles on the module; tweak the attributes before running a call."""

    def __init__(self, monkeypatch):
        self.log = []
        self.db = object()
        self.suppress = False
        self.open_error = None
        self.enter_error = None
        self.store = Store(self.log)
        self.store.results.update(
            get_status=status_model(),
            update_status=lambda db, loop: status_model(loop=loop),
            read_sync_status_errors=[],
            set_sync_status_error_viewed=SimpleNamespace(),
            mark_all_sync_status_errors_viewed=0,
        )
        self.agent = Service(self.log, "tidewell", snapshot())
        self.api = Service(self.log, "sync_api", snapshot(running=True))
        self.agent_module = ServiceModule(self.agent)
        self.api_module = ServiceModule(self.api)
        monkeypatch.setattr(tidewell, "crud_sync_status", self.store)
        monkeypatch.setattr(tidewell, "get_db_session_context", self.open)
        monkeypatch.setattr(tidewell, "tidewell", self.agent_module)
        monkeypatch.setattr(tidewell, "sync_api", self.api_module)

    def open(self, *args, **kwargs):
        self.log.append(("open",) + args + tuple(kwargs))
        if self.open_error is not None:
            raise self.open_error
        return Session(self)

    def calls(self, *names):
        """The log entries whose first item is one of names."""
        return [entry for entry in self.log if entry[0] in names]


@pytest.fixture
def h(monkeypatch):
    return Harness(monkeypatch)


def run(coro):
    return asyncio.run(coro)
