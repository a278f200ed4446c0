"""Agent service state, start, stop and status, against recording doubles on the module."""
import asyncio
import itertools
from types import SimpleNamespace

import pytest

import zentab_api.python_api.sync.tidewell as tidewell
from zentab_api.app.exceptions.sync.tidewell_handler import (TidewellAlreadyRunningError,
                                                             TidewellAlreadyStoppedError,
                                                             TidewellNotInstalledError)
from zentab_api.app.schemas.sync.sync_status import ServiceStatus, SyncStatusReadV1, TidewellStatus
from zentab_tidewell.models.enums import SyncLoopStatus

from test_tidewell_doubles import WHEN, h, run, snapshot, status_model  # noqa: F401 (h is a fixture)

OPEN, ENTER = ("open",), ("enter",)
CLEAN_EXIT = ("exit", None, None)
AGENT_ASKED = [("tidewell", "get_service"), ("tidewell", "status")]
BOTH_ASKED = AGENT_ASKED + [("sync_api", "get_service"), ("sync_api", "status")]


def expected_service_status(installed, running, enabled):
    if not installed:
        return ServiceStatus.NOT_INSTALLED
    if running:
        return ServiceStatus.RUNNING
    return ServiceStatus.NOT_RUNNING if enabled else ServiceStatus.NOT_ENABLED


# ---- _get_service_status_safe ---------------------------------------------------------

@pytest.mark.parametrize("installed,running,enabled", list(itertools.product([True, False], repeat=3)))
def test_service_state_reduces_with_installation_then_running_then_enablement(h, installed, running, enabled):
    h.agent.snapshot = snapshot(installed, running, enabled)
    assert tidewell._get_service_status_safe(h.agent_module) is expected_service_status(installed, running, enabled)
    assert h.log == AGENT_ASKED  # status read once


def test_snapshot_attributes_are_read_before_the_members_and_only_as_far_as_needed(h, monkeypatch):
    order = []

    class Members(type):
        def __getattr__(cls, name):
            order.append(f"{cls.__name__}.{name}")
            return name

    class Snapshot:
        def __getattr__(self, name):
            order.append(name)
            return {"installation_status": "INSTALLED", "running_status": "STOPPED"}.get(name, "DISABLED")

    for enum in ("InstallationStatus", "RunningStatus", "EnablementStatus"):
        monkeypatch.setattr(tidewell, enum, Members(enum, (), {}))
    h.agent.snapshot = Snapshot()
    assert tidewell._get_service_status_safe(h.agent_module) is ServiceStatus.NOT_ENABLED
    assert order == ["installation_status", "InstallationStatus.NOT_INSTALLED", "running_status",
                     "RunningStatus.RUNNING", "enablement_status", "EnablementStatus.DISABLED"]


class BadTruth:
    def __bool__(self):
        raise ValueError("no truth")


class EqualsBadTruth:
    def __eq__(self, other):
        return BadTruth()


def break_service(h, where, error):
    if where == "get_service":
        h.agent_module.error = error
    elif where == "status":
        h.agent.fail["status"] = error
    elif where == "missing attribute":
        h.agent.snapshot = SimpleNamespace(installation_status=snapshot().installation_status)
    elif where == "comparison truth":
        h.agent.snapshot = SimpleNamespace(installation_status=EqualsBadTruth())


@pytest.mark.parametrize("where", ["get_service", "status", "missing attribute", "comparison truth"])
@pytest.mark.parametrize("error", [RuntimeError("down"), OSError("gone"), StopIteration(), ArithmeticError()])
def test_any_exception_while_asking_a_service_means_not_installed(h, where, error):
    break_service(h, where, error)
    assert tidewell._get_service_status_safe(h.agent_module) is ServiceStatus.NOT_INSTALLED


@pytest.mark.parametrize("where", ["get_service", "status"])
@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), asyncio.CancelledError()])
def test_base_exceptions_pass_through_the_probe_unchanged(h, where, error):
    break_service(h, where, error)
    with pytest.raises(BaseException) as caught:
        tidewell._get_service_status_safe(h.agent_module)
    assert caught.value is error


def test_probe_uses_the_service_status_names_bound_on_the_module(h, monkeypatch):
    members = SimpleNamespace(NOT_INSTALLED="ni", RUNNING="r", NOT_ENABLED="ne", NOT_RUNNING="nr")
    monkeypatch.setattr(tidewell, "ServiceStatus", members)
    h.agent_module.error = RuntimeError()
    assert tidewell._get_service_status_safe(h.agent_module) == "ni"
    h.agent_module.error = None
    h.agent.snapshot = snapshot(running=True)
    assert tidewell._get_service_status_safe(h.agent_module) == "r"


# ---- _create_response -----------------------------------------------------------------

class RecordingModel:
    """A stored status record that logs which attributes are read."""

    def __init__(self, log, loop):
        self._log, self._values = log, {"status": SimpleNamespace(value=loop.value),
                                        "sync_iteration_count": 41, "last_update": WHEN}

    def __getattr__(self, name):
        self._log.append(("model", name))
        return self._values[name]


@pytest.mark.parametrize("agent_running", [True, False])
@pytest.mark.parametrize("api_running", [True, False])
def test_response_asks_both_services_then_reads_the_record_and_builds_by_keyword(h, monkeypatch, agent_running,
                                                                                 api_running):
    built = []
    monkeypatch.setattr(tidewell, "SyncStatusReadV1", lambda *a, **kw: built.append((a, list(kw.items()))) or "resp")
    h.agent.snapshot = snapshot(running=agent_running)
    h.api.snapshot = snapshot(running=api_running)
    assert tidewell._create_response(RecordingModel(h.log, SyncLoopStatus.PAUSED)) == "resp"

    reads = [("model", "status")] if agent_running else []
    assert h.log == BOTH_ASKED + reads + [("model", "sync_iteration_count"), ("model", "last_update")]
    agent = ServiceStatus.RUNNING if agent_running else ServiceStatus.NOT_RUNNING
    api = ServiceStatus.RUNNING if api_running else ServiceStatus.NOT_RUNNING
    loop = TidewellStatus.PAUSED if agent_running else TidewellStatus.UNAVAILABLE
    assert built == [((), [("tidewell_service", agent), ("sync_api_service", api), ("tidewell_status", loop),
                           ("sync_iteration_count", 41), ("last_update", WHEN)])]


@pytest.mark.parametrize("loop", list(SyncLoopStatus))
@pytest.mark.parametrize("agent", [snapshot(running=True), snapshot(running=True, enabled=False),
                                   snapshot(), snapshot(enabled=False), snapshot(installed=False, running=True)])
def test_loop_status_is_shown_only_while_the_agent_service_runs(h, loop, agent):
    h.agent.snapshot = agent
    h.api.snapshot = snapshot(installed=False)  # the API service never changes the loop status
    response = tidewell._create_response(status_model(loop=loop, count=7, last_update=None))
    assert isinstance(response, SyncStatusReadV1)
    running = agent.running_status.value == "running" and agent.installation_status.value == "installed"
    assert response.tidewell_status is (TidewellStatus(loop.value) if running else TidewellStatus.UNAVAILABLE)
    assert response.sync_api_service is ServiceStatus.NOT_INSTALLED
    assert (response.sync_iteration_count, response.last_update) == (7, None)


def test_response_of_a_service_that_cannot_be_asked_is_not_installed(h):
    h.agent_module.error = ConnectionError("dbus")
    response = tidewell._create_response(status_model(loop=SyncLoopStatus.RUNNING))
    assert response.tidewell_service is ServiceStatus.NOT_INSTALLED
    assert response.tidewell_status is TidewellStatus.UNAVAILABLE


def test_unknown_stored_loop_value_raises_the_enumerations_value_error(h):
    h.agent.snapshot = snapshot(running=True)
    with pytest.raises(ValueError, match="'sleeping' is not a valid TidewellStatus"):
        tidewell._create_response(SimpleNamespace(status=SimpleNamespace(value="sleeping"),
                                                  sync_iteration_count=0, last_update=None))


# ---- start_tidewell ---------------------------------------------------------------------

def update_running(h):
    return ("update_status", (h.db, SyncLoopStatus.RUNNING), ())


@pytest.mark.parametrize("agent", [snapshot(installed=False), snapshot(installed=False, running=True)])
def test_start_refuses_an_uninstalled_service_before_anything_else(h, agent):
    h.agent.snapshot = agent
    with pytest.raises(TidewellNotInstalledError) as caught:
        run(tidewell.start_tidewell())
    assert caught.value.args == ("Tidewell is not installed, cannot start",)
    assert h.log == AGENT_ASKED


@pytest.mark.parametrize("enabled", [True, False])
def test_start_of_a_stopped_service_starts_it_and_writes_running_without_reading_first(h, enabled):
    h.agent.snapshot = snapshot(enabled=enabled)
    response = run(tidewell.start_tidewell())
    assert h.log == AGENT_ASKED + [("tidewell", "start"), OPEN, ENTER, update_running(h)] + BOTH_ASKED + [CLEAN_EXIT]
    assert response.tidewell_service is ServiceStatus.RUNNING
    assert response.tidewell_status is TidewellStatus.RUNNING


@pytest.mark.parametrize("stored", [SyncLoopStatus.STOPPED, SyncLoopStatus.PAUSED, SyncLoopStatus.ERROR])
def test_start_of_a_running_service_whose_loop_is_not_running_starts_it_again(h, stored):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = status_model(loop=stored)
    response = run(tidewell.start_tidewell())
    assert h.log == AGENT_ASKED + [OPEN, ENTER, ("get_status", (h.db,), ()), CLEAN_EXIT, ("tidewell", "start"),
                                   OPEN, ENTER, update_running(h)] + BOTH_ASKED + [CLEAN_EXIT]
    assert response.tidewell_status is TidewellStatus.RUNNING  # built from the updated record


def test_start_of_a_running_service_with_running_loop_is_refused_after_leaving_the_session(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = status_model(loop=SyncLoopStatus.RUNNING)
    with pytest.raises(TidewellAlreadyRunningError) as caught:
        run(tidewell.start_tidewell())
    assert caught.value.args == ("Tidewell is already running",)
    assert h.log == AGENT_ASKED + [OPEN, ENTER, ("get_status", (h.db,), ()), CLEAN_EXIT]


@pytest.mark.parametrize("name,message,setup", [
    ("TidewellNotInstalledError", "Tidewell is not installed, cannot start",
     lambda h: setattr(h.agent, "snapshot", snapshot(installed=False))),
    ("TidewellAlreadyRunningError", "Tidewell is already running",
     lambda h: (setattr(h.agent, "snapshot", snapshot(running=True)),
                h.store.results.update(get_status=status_model(loop=SyncLoopStatus.RUNNING)))),
])
def test_start_errors_are_made_from_the_bound_type_with_one_message(h, monkeypatch, name, message, setup):
    made = []

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args)

    monkeypatch.setattr(tidewell, name, Recorded)
    setup(h)
    with pytest.raises(Recorded):
        run(tidewell.start_tidewell())
    assert made == [((message,), {})]


def start_failures():
    """(where, arrange) for each collaborator step of start_tidewell that can fail."""
    def running(h, loop=SyncLoopStatus.STOPPED):
        h.agent.snapshot = snapshot(running=True)
        h.store.results["get_status"] = status_model(loop=loop)
    return [
        ("get_service", lambda h, e: setattr(h.agent_module, "error", e), False),
        ("status", lambda h, e: h.agent.fail.update(status=e), False),
        ("start", lambda h, e: h.agent.fail.update(start=e), False),
        ("open", lambda h, e: setattr(h, "open_error", e), False),
        ("enter", lambda h, e: setattr(h, "enter_error", e), False),
        ("update_status", lambda h, e: h.store.results.update(update_status=e), True),
        ("first get_status", lambda h, e: (running(h), h.store.results.update(get_status=e)), True),
    ]


@pytest.mark.parametrize("where,arrange,in_session", start_failures(), ids=lambda v: v if isinstance(v, str) else "")
def test_start_passes_collaborator_errors_on_as_the_same_object(h, where, arrange, in_session):
    error = LookupError(where)
    arrange(h, error)
    with pytest.raises(LookupError) as caught:
        run(tidewell.start_tidewell())
    assert caught.value is error
    exits = h.calls("exit")
    assert exits == ([("exit", type(error), error)] if in_session else [])


def test_start_after_a_failed_update_leaves_the_service_started(h):
    h.store.results["update_status"] = OSError("disk full")
    with pytest.raises(OSError):
        run(tidewell.start_tidewell())
    assert ("tidewell", "start") in h.log and h.log[-1][0] == "exit"


def test_start_with_unknown_stored_loop_raises_value_error_inside_the_session(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = SimpleNamespace(status=SimpleNamespace(value="sleeping"))
    with pytest.raises(ValueError) as caught:
        run(tidewell.start_tidewell())
    assert h.log[-1] == ("exit", ValueError, caught.value)
    assert ("tidewell", "start") not in h.log


def test_start_suppressed_error_in_first_block_reports_unbound_tidewell_status(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = RuntimeError("locked")
    h.suppress = True
    with pytest.raises(UnboundLocalError, match=r"^local variable 'tidewell_status' referenced before assignment$"):
        run(tidewell.start_tidewell())
    assert ("tidewell", "start") not in h.log


def test_start_suppressed_error_in_second_block_returns_none_after_starting(h):
    h.store.results["update_status"] = RuntimeError("locked")
    h.suppress = True
    assert run(tidewell.start_tidewell()) is None
    assert h.log[-1][:2] == ("exit", RuntimeError) and ("tidewell", "start") in h.log


# ---- stop_tidewell ------------------------------------------------------------------------

@pytest.mark.parametrize("agent", [snapshot(), snapshot(enabled=False), snapshot(installed=False)])
def test_stop_refuses_a_service_that_does_not_report_running(h, agent):
    h.agent.snapshot = agent
    with pytest.raises(TidewellAlreadyStoppedError) as caught:
        run(tidewell.stop_tidewell())
    assert caught.value.args == ("Tidewell is not running, cannot stop",)
    assert h.log == AGENT_ASKED


def test_stop_tests_running_alone_so_not_installed_but_running_is_stopped(h):
    h.agent.snapshot = snapshot(installed=False, running=True)
    run(tidewell.stop_tidewell())
    assert ("tidewell", "stop") in h.log


def test_stop_stops_then_returns_what_the_module_get_sync_status_gives(h, monkeypatch):
    h.agent.snapshot = snapshot(running=True)
    answer = object()

    async def get_sync_status(*args, **kwargs):
        h.log.append(("get_sync_status", args, kwargs))
        return answer

    monkeypatch.setattr(tidewell, "get_sync_status", get_sync_status)
    assert run(tidewell.stop_tidewell()) is answer
    assert h.log == AGENT_ASKED + [("tidewell", "stop"), ("get_sync_status", (), {})]


def test_stop_writes_nothing_and_answers_like_a_following_status_read(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = status_model(loop=SyncLoopStatus.RUNNING)
    stopped = run(tidewell.stop_tidewell())
    assert not h.calls("update_status")
    assert stopped == run(tidewell.get_sync_status())
    assert stopped.tidewell_service is ServiceStatus.NOT_RUNNING
    assert stopped.tidewell_status is TidewellStatus.UNAVAILABLE


@pytest.mark.parametrize("where", ["get_service", "status", "stop", "get_status"])
def test_stop_passes_collaborator_errors_on_as_the_same_object(h, where):
    h.agent.snapshot = snapshot(running=True)
    error = OSError(where)
    if where == "get_service":
        h.agent_module.error = error
    elif where == "get_status":
        h.store.results["get_status"] = error
    else:
        h.agent.fail[where] = error
    with pytest.raises(OSError) as caught:
        run(tidewell.stop_tidewell())
    assert caught.value is error


def test_stop_returns_none_when_the_status_session_suppresses(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = RuntimeError()
    h.suppress = True
    assert run(tidewell.stop_tidewell()) is None
    assert ("tidewell", "stop") in h.log


# ---- get_sync_status ----------------------------------------------------------------------

def test_status_reads_in_one_session_and_builds_the_response_before_leaving(h):
    h.agent.snapshot = snapshot(running=True)
    h.store.results["get_status"] = status_model(loop=SyncLoopStatus.ERROR, count=12)
    response = run(tidewell.get_sync_status())
    assert h.log == [OPEN, ENTER, ("get_status", (h.db,), ())] + BOTH_ASKED + [CLEAN_EXIT]
    assert response == SyncStatusReadV1(tidewell_service=ServiceStatus.RUNNING,
                                        sync_api_service=ServiceStatus.RUNNING,
                                        tidewell_status=TidewellStatus.ERROR, sync_iteration_count=12,
                                        last_update=WHEN)


def test_status_calls_the_module_create_response_with_the_record(h, monkeypatch):
    seen = []
    monkeypatch.setattr(tidewell, "_create_response", lambda *a, **kw: seen.append((a, kw)) or "resp")
    assert run(tidewell.get_sync_status()) == "resp"
    assert seen == [((h.store.results["get_status"],), {})]


@pytest.mark.parametrize("where", ["open", "enter", "get_status", "create"])
def test_status_errors_reach_the_caller_as_the_same_object(h, monkeypatch, where):
    error = RuntimeError(where)
    if where == "open":
        h.open_error = error
    elif where == "enter":
        h.enter_error = error
    elif where == "get_status":
        h.store.results["get_status"] = error
    else:
        def fail(model):
            raise error
        monkeypatch.setattr(tidewell, "_create_response", fail)
    with pytest.raises(RuntimeError) as caught:
        run(tidewell.get_sync_status())
    assert caught.value is error
    assert h.calls("exit") == ([("exit", RuntimeError, error)] if where in ("get_status", "create") else [])


def test_status_returns_none_when_the_session_suppresses(h):
    h.store.results["get_status"] = RuntimeError()
    h.suppress = True
    assert run(tidewell.get_sync_status()) is None


# ---- cancellation ---------------------------------------------------------------------------

@pytest.mark.parametrize("call,store_call,arrange", [
    (tidewell.get_sync_status, "get_status", lambda h: None),
    (tidewell.start_tidewell, "update_status", lambda h: None),
    (tidewell.start_tidewell, "get_status", lambda h: setattr(h.agent, "snapshot", snapshot(running=True))),
])
def test_cancelled_while_the_store_awaits_leaves_the_session_exactly_once(h, call, store_call, arrange):
    arrange(h)

    async def scenario():
        pending = asyncio.get_running_loop().create_future()
        h.store.results[store_call] = pending
        task = asyncio.ensure_future(call())
        while not h.calls(store_call):
            await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return pending

    pending = run(scenario())
    assert pending.cancelled()  # the cancellation reached the awaited store call
    exits = h.calls("exit")
    assert len(exits) == 1 and exits[0][1] is asyncio.CancelledError
    assert h.log[-1] == exits[0]
