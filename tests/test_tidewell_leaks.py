"""No reference leaks: 100,000 calls through each success and error path of each function.

Fast doubles, and coroutines driven with send(None) instead of an event loop, keep this quick.
"""
import asyncio
import copy
import itertools
import sys
from datetime import datetime
from types import SimpleNamespace

import pytest
from leakcheck import ALLOWED_GROWTH, CALLS, blocks_grown

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_api.app.schemas.sync.sync_status import ServiceStatus, TidewellStatus
from zentab_service_manager.status import (EnablementStatus, InstallationStatus, RunningStatus,
                                           ServiceStatusSnapshot)
from zentab_tidewell.models.enums import SyncLoopStatus



def snap(installed=True, running=True, enabled=True):
    return ServiceStatusSnapshot(InstallationStatus.INSTALLED if installed else InstallationStatus.NOT_INSTALLED,
                                 RunningStatus.RUNNING if running else RunningStatus.STOPPED,
                                 EnablementStatus.ENABLED if enabled else EnablementStatus.DISABLED)


def no_service_manager():
    raise RuntimeError("no service manager")


def service_module(snapshot, fail=False):
    service = SimpleNamespace(status=snapshot, start=tuple, stop=tuple)
    return SimpleNamespace(get_service=no_service_manager if fail else itertools.repeat(service).__next__)


# Awaiting a finished future gives its result at once, without an event loop running.
_loop = asyncio.new_event_loop()


def done(value):
    future = _loop.create_future()
    future.set_result(value)
    return future


class Session:
    __aenter__ = staticmethod(itertools.repeat(done(object())).__next__)
    _exit = done(False)

    def __aexit__(self, exc_type, exc, tb):
        return self._exit


class Suppressing(Session):
    _exit = done(True)


def model(loop):
    return SimpleNamespace(status=loop, sync_iteration_count=4, last_update=datetime(2024, 1, 1))


STOPPED_MODEL, RUNNING_MODEL = model(SyncLoopStatus.STOPPED), model(SyncLoopStatus.RUNNING)
ROWS = [SimpleNamespace(id=i, message="m", created_at=datetime(2024, 1, 1), viewed=False) for i in range(3)]


class Store:
    def __init__(self, status=STOPPED_MODEL, fail=False, count=3):
        self.fail = fail
        self._status, self._rows, self._row, self._count = done(status), done(ROWS), done(ROWS[0]), done(count)

    def get_status(self, db):
        if self.fail:
            raise RuntimeError("store down")
        return self._status

    def update_status(self, db, loop):
        if self.fail:
            raise RuntimeError("store down")
        return self._status

    def read_sync_status_errors(self, db, skip, limit, viewed=None):
        if self.fail:
            raise RuntimeError("store down")
        return self._rows

    def set_sync_status_error_viewed(self, db, error_id, flag):
        if self.fail:
            raise LookupError("no such record")
        return self._row

    def mark_all_sync_status_errors_viewed(self, db):
        return self._count


def failing_report_bug(record):
    raise ConnectionError("unreachable")


# Each function is measured on its own: the sibling coroutines it awaits are fast doubles here.
STATUS = SimpleNamespace(sync_api_service=ServiceStatus.RUNNING, tidewell_service=ServiceStatus.RUNNING,
                         tidewell_status=TidewellStatus.RUNNING, sync_iteration_count=3,
                         last_update=datetime(2024, 1, 1))
_status, _errors, _report = done(STATUS), done(ROWS), done("report text")
SIBLINGS = {
    "get_sync_status": lambda: _status,
    "get_sync_errors": lambda limit=10, skip=0: _errors,
    "generate_tidewell_report": lambda message: _report,
}


# generate_tidewell_report itself, as the doubles of its siblings rebind the module name.
GENERATE = tidewell.generate_tidewell_report


def status_down():
    raise RuntimeError("store down")


def generation_fails(message):
    raise KeyError("nope")


def drive(coro, expected=None):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    except BaseException as error:
        if expected is None or not isinstance(error, expected):
            raise
        return None
    raise AssertionError("the coroutine suspended")


# name: (module bindings, one call, expected error or None)
PATHS = {
    "status_safe running": ({}, lambda: tidewell._get_service_status_safe(service_module(snap())), None),
    "status_safe not installed": ({}, lambda: tidewell._get_service_status_safe(
        service_module(snap(installed=False))), None),
    "status_safe not enabled": ({}, lambda: tidewell._get_service_status_safe(
        service_module(snap(running=False, enabled=False))), None),
    "status_safe not running": ({}, lambda: tidewell._get_service_status_safe(
        service_module(snap(running=False))), None),
    "status_safe probe error": ({}, lambda: tidewell._get_service_status_safe(service_module(snap(), True)), None),
    "status_safe base exception": ({}, lambda: tidewell._get_service_status_safe(
        SimpleNamespace(get_service=sys.exit)), SystemExit),
    "create_response running": ({}, lambda: tidewell._create_response(RUNNING_MODEL), None),
    "create_response unknown loop": ({}, lambda: tidewell._create_response(
        SimpleNamespace(status=SimpleNamespace(value="x"), sync_iteration_count=0, last_update=None)), ValueError),
    "start stopped service": ({"tidewell": service_module(snap(running=False))},
                              lambda: drive(tidewell.start_tidewell()), None),
    "start restart": ({}, lambda: drive(tidewell.start_tidewell()), None),
    "start not installed": ({"tidewell": service_module(snap(installed=False))},
                            lambda: drive(tidewell.start_tidewell(), tidewell.TidewellNotInstalledError), None),
    "start already running": ({"crud_sync_status": Store(RUNNING_MODEL)},
                              lambda: drive(tidewell.start_tidewell(), tidewell.TidewellAlreadyRunningError), None),
    "start store error": ({"crud_sync_status": Store(fail=True)},
                          lambda: drive(tidewell.start_tidewell(), RuntimeError), None),
    "start suppressed first block": ({"crud_sync_status": Store(fail=True), "get_db_session_context": Suppressing},
                                     lambda: drive(tidewell.start_tidewell(), UnboundLocalError), None),
    "start suppressed second block": ({"crud_sync_status": Store(fail=True), "get_db_session_context": Suppressing,
                                       "tidewell": service_module(snap(running=False))},
                                      lambda: drive(tidewell.start_tidewell()), None),
    "stop": ({"get_sync_status": SIBLINGS["get_sync_status"]}, lambda: drive(tidewell.stop_tidewell()), None),
    "stop already stopped": ({"tidewell": service_module(snap(running=False))},
                             lambda: drive(tidewell.stop_tidewell(), tidewell.TidewellAlreadyStoppedError), None),
    "stop status error": ({"get_sync_status": status_down},
                          lambda: drive(tidewell.stop_tidewell(), RuntimeError), None),
    "get_sync_status": ({}, lambda: drive(tidewell.get_sync_status()), None),
    "get_sync_status store error": ({"crud_sync_status": Store(fail=True)},
                                    lambda: drive(tidewell.get_sync_status(), RuntimeError), None),
    "get_sync_status suppressed": ({"crud_sync_status": Store(fail=True), "get_db_session_context": Suppressing},
                                   lambda: drive(tidewell.get_sync_status()), None),
    "get_sync_errors": ({}, lambda: drive(tidewell.get_sync_errors(5, 2.5, viewed=False)), None),
    "get_sync_errors store error": ({"crud_sync_status": Store(fail=True)},
                                    lambda: drive(tidewell.get_sync_errors(), RuntimeError), None),
    "get_sync_errors bad viewed": ({}, lambda: tidewell.get_sync_errors(viewed=0), TypeError),
    "get_sync_errors validation error": ({"SyncStatusErrors": SimpleNamespace(model_validate=int)},
                                         lambda: drive(tidewell.get_sync_errors(), TypeError), None),
    "set viewed": ({}, lambda: drive(tidewell.set_sync_status_error_viewed(1, "yes")), None),
    "set viewed not found": ({"crud_sync_status": Store(fail=True)},
                             lambda: drive(tidewell.set_sync_status_error_viewed(1, True), LookupError), None),
    "mark all": ({"crud_sync_status": Store(count=2.5)},
                 lambda: drive(tidewell.mark_all_sync_status_errors_viewed()), None),
    "mark all bad count": ({"crud_sync_status": Store(count="3")},
                           lambda: drive(tidewell.mark_all_sync_status_errors_viewed(), TypeError), None),
    "generate report": (SIBLINGS,
                        lambda: drive(GENERATE("m {x}")), None),
    "generate report template error": ({**SIBLINGS, "REPORT_TEMPLATE_TIDEWELL": "{nope}"},
                                       lambda: drive(GENERATE("m"), KeyError), None),
    "generate report bad text": ({**SIBLINGS, "REPORT_TEMPLATE_TIDEWELL": SimpleNamespace(format=dict)},
                                 lambda: drive(GENERATE("m"), TypeError), None),
    "generate report status error": ({**SIBLINGS, "get_sync_status": status_down},
                                     lambda: drive(GENERATE("m"), RuntimeError), None),
    "error report": (SIBLINGS, lambda: drive(tidewell.get_tidewell_error_report("m")), None),
    "error report generation error": ({"generate_tidewell_report": generation_fails},
                                      lambda: drive(tidewell.get_tidewell_error_report("m"), KeyError), None),
    "error report bad text": ({"generate_tidewell_report": lambda message: done(b"bytes")},
                              lambda: drive(tidewell.get_tidewell_error_report("m"), TypeError), None),
    "report": (SIBLINGS, lambda: drive(tidewell.report_tidewell("m")), None),
    "report generation error": ({"generate_tidewell_report": generation_fails},
                                lambda: drive(tidewell.report_tidewell("m"), KeyError), None),
    "report send error": ({**SIBLINGS, "report_bug": failing_report_bug},
                          lambda: drive(tidewell.report_tidewell("m"), ConnectionError), None),
}


def growth(call, expected):
    def once():
        try:
            call()
        except BaseException as error:
            if expected is None or not isinstance(error, expected):
                raise

    return blocks_grown(once)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name", PATHS)
def test_no_growth_over_many_calls(monkeypatch, name):
    bindings, call, expected = PATHS[name]
    defaults = {"tidewell": service_module(snap()), "sync_api": service_module(snap(running=False)),
                "crud_sync_status": Store(), "get_db_session_context": Session,
                "BugReportCreateV3": SimpleNamespace, "report_bug": id,
                # Plain stand-ins for the records keep the loops quick; the module's own work is unchanged.
                "SyncStatusReadV1": SimpleNamespace, "SyncStatusErrors": SimpleNamespace(model_validate=copy.copy),
                "format_sync_source_errors": len}
    for attr, value in {**defaults, **bindings}.items():
        monkeypatch.setattr(tidewell, attr, value)
    grown = growth(call, expected)
    print(f"\n{name}: {grown} blocks after {CALLS} calls")
    assert grown < ALLOWED_GROWTH
