"""The coroutine objects and `async with` of the native modules behave as Python's own.

Driven through tidewell.get_sync_status with its collaborators rebound to
doubles: get_db_session_context -> Session, crud_sync_status.get_status ->
whatever awaitable a test wants, _create_response -> identity.
"""
import asyncio
import collections.abc
import gc
import inspect
import sys
import traceback
import types
import warnings

import pytest

from zentab_api.python_api.sync import tidewell


class Session:
    """Async context manager double that records enter and exit."""

    def __init__(self, log, suppress=False):
        self.log = log
        self.suppress = suppress

    async def __aenter__(self):
        self.log.append("enter")
        return "db"

    async def __aexit__(self, typ, value, tb):
        self.log.append(("exit", typ, value, tb, sys.exc_info()[1], value is None or value.__traceback__ is tb))
        return self.suppress


class Yielder:
    """An awaitable that yields the given values out and returns what was sent in."""

    def __init__(self, *values):
        self.values = values

    def __await__(self):
        received = []
        for v in self.values:
            received.append((yield v))
        return tuple(received)


class Store:
    def __init__(self, awaitable_factory):
        self.factory = awaitable_factory
        self.calls = []

    def get_status(self, db):
        self.calls.append(db)
        return self.factory()


@pytest.fixture
def log():
    return []


@pytest.fixture
def wire(monkeypatch, log):
    """wire(factory, suppress=False): rebinds the collaborators; returns the store double."""

    def install(factory, suppress=False):
        store = Store(factory)
        monkeypatch.setattr(tidewell, "get_db_session_context", lambda: Session(log, suppress))
        monkeypatch.setattr(tidewell, "crud_sync_status", store)
        monkeypatch.setattr(tidewell, "_create_response", lambda model: model)
        return store

    return install


async def done(value):
    return value


def finish(coro, value=None):
    with pytest.raises(StopIteration) as stop:
        coro.send(value)
    return stop.value.value


def test_calling_creates_a_lazy_coroutine(wire, log):
    store = wire(lambda: done("model"))
    coro = tidewell.get_sync_status()
    assert log == [] and store.calls == []
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert inspect.isawaitable(coro)
    assert coro.__name__ == coro.__qualname__ == "get_sync_status"
    assert repr(coro).startswith("<coroutine object get_sync_status at 0x")
    assert finish(coro) == "model"
    assert log[0] == "enter" and log[1][:4] == ("exit", None, None, None)


@pytest.mark.parametrize("result", [(1, 2), (), ValueError("as a value"), None, 0])
def test_return_values_pass_through_stop_iteration_unwrapped(wire, result):
    wire(lambda: done(result))
    assert finish(tidewell.get_sync_status()) is result


def test_values_yielded_by_the_awaitable_pass_out_and_sent_values_pass_in(wire):
    sentinel = object()
    wire(lambda: Yielder(sentinel, "second"))
    coro = tidewell.get_sync_status()
    assert coro.send(None) is sentinel
    assert coro.cr_await is not None and coro.cr_running is False
    assert coro.send("a") == "second"
    assert finish(coro, "b") == ("a", "b")
    assert coro.cr_await is None


@pytest.mark.parametrize("drive", ["send", "next", "asyncio"])
def test_send_next_and_asyncio_agree(wire, drive):
    wire(lambda: Yielder(None, None))
    coro = tidewell.get_sync_status()
    if drive == "asyncio":
        assert asyncio.run(coro) == (None, None)
        return
    step = (lambda: coro.send(None)) if drive == "send" else (lambda: next(coro))
    assert step() is None and step() is None
    with pytest.raises(StopIteration) as stop:
        step()
    assert stop.value.value == (None, None)


def test_a_tracer_sees_the_same_results(wire):
    """Under a trace function `await` falls back to __next__ and send()."""
    wire(lambda: Yielder(None, None))

    async def outer():
        return await tidewell.get_sync_status()

    def tracer(frame, event, arg):
        return tracer

    previous = sys.gettrace()
    sys.settrace(tracer)
    try:
        result = asyncio.run(outer())
    finally:
        sys.settrace(previous)
    assert result == (None, None)


@pytest.mark.parametrize(
    "action, error, message",
    [
        (lambda c: c.send(1), TypeError, "can't send non-None value to a just-started coroutine"),
    ],
)
def test_start_rules(wire, log, action, error, message):
    wire(lambda: done(1))
    coro = tidewell.get_sync_status()
    with pytest.raises(error, match=message):
        action(coro)
    assert log == []
    coro.close()


def test_an_awaited_coroutine_cannot_be_reused(wire):
    wire(lambda: done(1))
    coro = tidewell.get_sync_status()
    finish(coro)
    for again in (lambda: coro.send(None), lambda: coro.throw(ValueError)):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            again()
    assert coro.close() is None


def test_throw_goes_to_the_awaitable_when_it_has_throw(wire, log):
    def catcher():
        try:
            yield "waiting"
        except KeyError:
            return "handled"

    @types.coroutine
    def awaitable():
        return (yield from catcher())

    wire(awaitable)
    coro = tidewell.get_sync_status()
    assert coro.send(None) == "waiting"
    with pytest.raises(StopIteration) as stop:
        coro.throw(KeyError("k"))
    assert stop.value.value == "handled"
    assert log[-1][:4] == ("exit", None, None, None)


class NoThrow:
    """An iterator awaitable without throw/close."""

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return "waiting"


def test_throw_without_throw_method_is_raised_where_the_body_waits(wire, log):
    wire(NoThrow)
    coro = tidewell.get_sync_status()
    coro.send(None)
    error = KeyError("k")
    with pytest.raises(KeyError) as raised:
        coro.throw(error)
    assert raised.value is error
    exit_record = log[-1]
    assert exit_record[1] is KeyError and exit_record[2] is error
    assert isinstance(exit_record[3], types.TracebackType)
    assert exit_record[5]  # the value's __traceback__ is the traceback passed
    assert exit_record[4] is error  # the error is being handled while __aexit__ runs


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1,), TypeError, "exceptions must be classes or instances deriving from BaseException, not int"),
        ((ValueError, None, 5), TypeError, "throw\\(\\) third argument must be a traceback object"),
        ((ValueError("x"), "v"), TypeError, "instance exception may not have a separate value"),
    ],
)
def test_throw_argument_checks(wire, args, error, message):
    wire(NoThrow)
    coro = tidewell.get_sync_status()
    coro.send(None)
    with pytest.raises(error, match=message):
        coro.throw(*args)
    coro.close()


def test_close_closes_the_awaitable_then_raises_generator_exit_in_the_body(wire, log):
    closed = []

    def gen():
        try:
            yield "waiting"
        finally:
            closed.append(True)

    wire(lambda: types.coroutine(gen)())
    coro = tidewell.get_sync_status()
    coro.send(None)
    assert coro.close() is None
    assert closed == [True]
    assert log[-1][1] is GeneratorExit
    assert coro.close() is None  # closing again is silent


def test_a_body_that_keeps_yielding_on_close_ignores_generator_exit(monkeypatch, wire, log):
    class StubbornSession(Session):
        async def __aexit__(self, *exc):
            await Yielder("again")

    wire(NoThrow)
    monkeypatch.setattr(tidewell, "get_db_session_context", lambda: StubbornSession(log))
    coro = tidewell.get_sync_status()
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()


def test_close_before_start_runs_nothing_and_warns_nothing(wire, log):
    wire(lambda: done(1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = tidewell.get_sync_status()
        coro.close()
        del coro
        gc.collect()
    assert log == []


def test_a_coroutine_never_awaited_warns(wire):
    wire(lambda: done(1))
    with pytest.warns(RuntimeWarning, match="coroutine 'get_sync_status' was never awaited"):
        coro = tidewell.get_sync_status()
        del coro
        gc.collect()


def test_a_suspended_coroutine_dropped_is_closed(wire, log):
    wire(NoThrow)
    coro = tidewell.get_sync_status()
    coro.send(None)
    del coro
    gc.collect()
    assert log[-1][1] is GeneratorExit


def test_stop_iteration_leaving_the_body_becomes_runtime_error(wire):
    def raises_stop(db):
        raise StopIteration("leak")

    wire(lambda: done(1))
    tidewell.crud_sync_status.get_status = raises_stop
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        finish(tidewell.get_sync_status())
    assert isinstance(raised.value.__cause__, StopIteration)


def test_reentering_a_running_coroutine_is_refused(wire):
    holder = {}

    class Reenter:
        def __await__(self):
            with pytest.raises(ValueError, match="coroutine already executing"):
                holder["coro"].send(None)
            return "ok"
            yield  # noqa: unreachable; makes this a generator

    wire(Reenter)
    holder["coro"] = tidewell.get_sync_status()
    assert finish(holder["coro"]) == "ok"


def test_errors_carry_a_traceback_entry_naming_the_function(wire):
    boom = LookupError("store down")

    async def failing():
        raise boom

    wire(failing)
    with pytest.raises(LookupError) as raised:
        asyncio.run(tidewell.get_sync_status())
    assert raised.value is boom
    names = [entry.name for entry in traceback.extract_tb(raised.value.__traceback__)]
    assert "get_sync_status" in names and names.index("get_sync_status") < names.index("failing")


# ---- asyncio integration -------------------------------------------------------------


def test_runs_under_create_task_and_gather(wire):
    wire(lambda: asyncio.sleep(0.001, result="slept"))

    async def main():
        task = asyncio.create_task(tidewell.get_sync_status())
        both = await asyncio.gather(tidewell.get_sync_status(), tidewell.get_sync_status())
        return await task, both

    assert asyncio.run(main()) == ("slept", ["slept", "slept"])


def test_wait_for_timeout_cancels_and_exits_the_session_once(wire, log):
    wire(lambda: asyncio.sleep(10))

    async def main():
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(tidewell.get_sync_status(), 0.01)

    asyncio.run(main())
    exits = [entry for entry in log if entry != "enter"]
    assert len(exits) == 1 and exits[0][1] is asyncio.CancelledError


def test_cancelling_a_python_coroutine_that_awaits_it(wire, log):
    wire(lambda: asyncio.sleep(10))

    async def outer():
        return await tidewell.get_sync_status()

    async def main():
        task = asyncio.create_task(outer())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert [e[1] for e in log if e != "enter"] == [asyncio.CancelledError]


def test_throw_into_a_python_coroutine_reaches_the_native_one(wire, log):
    wire(NoThrow)

    async def outer():
        try:
            return await tidewell.get_sync_status()
        except KeyError:
            return "caught outside"

    coro = outer()
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(KeyError("k"))
    assert stop.value.value == "caught outside"
    assert log[-1][1] is KeyError


# ---- async with ---------------------------------------------------------------------


def test_a_true_exit_result_suppresses_and_the_function_returns_none(wire, log):
    async def failing():
        raise ValueError("swallowed")

    wire(failing, suppress=True)
    assert asyncio.run(tidewell.get_sync_status()) is None
    assert log[-1][1] is ValueError


def test_an_error_raised_by_exit_records_the_original_as_context(monkeypatch, wire, log):
    original = ValueError("original")

    class BrokenExit(Session):
        async def __aexit__(self, *exc):
            raise OSError("rollback failed")

    async def failing():
        raise original

    wire(failing)
    monkeypatch.setattr(tidewell, "get_db_session_context", lambda: BrokenExit(log))
    with pytest.raises(OSError) as raised:
        asyncio.run(tidewell.get_sync_status())
    assert raised.value.__context__ is original


class NoAenter:
    async def __aexit__(self, *exc):
        return False


class BadAenter:
    def __aenter__(self):
        return 5

    async def __aexit__(self, *exc):
        return False


@pytest.mark.parametrize(
    "manager, error, message",
    [
        (NoAenter(), AttributeError, "__aenter__"),
        (BadAenter(), TypeError, "'async with' received an object from __aenter__ that does not implement __await__: int"),
    ],
)
def test_session_protocol_errors(monkeypatch, wire, manager, error, message):
    wire(lambda: done(1))
    monkeypatch.setattr(tidewell, "get_db_session_context", lambda: manager)
    with pytest.raises(error, match=message):
        asyncio.run(tidewell.get_sync_status())


def test_throwing_generator_exit_when_the_awaitable_cannot_close_raises_its_error_in_the_body(wire, log):
    class BadClose(NoThrow):
        def close(self):
            raise OSError("cannot close")

    wire(BadClose)
    coro = tidewell.get_sync_status()
    coro.send(None)
    with pytest.raises(OSError, match="cannot close"):
        coro.throw(GeneratorExit)
    assert log[-1][1] is OSError
