"""Lifecycle of native coroutine and generator objects against the host's own.

Each case runs the same scenario on a native function and on a plain-Python
twin written the way the module's algorithm reads, and compares what a caller
sees: close() results, what the garbage collector frees, the names, and the
exit triples.
"""
import asyncio
import gc
import inspect
import sys
import typing
import weakref

import pytest
from leakcheck import ALLOWED_GROWTH, blocks_grown

from zentab_api.python_api.admin import logs
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.sync import parcelry, tidewell


class Suspend:
    """An awaitable that yields once; `back` may point at anything (a cycle)."""

    def __init__(self, result="model"):
        self.result = result
        self.back = None
        self.closed = 0

    def __await__(self):
        try:
            yield "suspended"
        except GeneratorExit:
            self.closed += 1
            raise
        return self.result


class Session:
    """Async session double; its exit may suppress, or await once (as a database session's exit does)."""

    def __init__(self, log, suppress=False, exit_awaits=False):
        self.log, self.suppress, self.exit_awaits = log, suppress, exit_awaits
        self.pending = None

    async def __aenter__(self):
        self.log.append("enter")
        return "db"

    async def __aexit__(self, typ, value, tb):
        if not self.exit_awaits:
            self.log.append(("exit", typ, value, tb, value is None or value.__traceback__ is tb))
        if self.exit_awaits:
            # Only the type is kept: the error's traceback reaches the frames that hold the coroutine.
            self.log.append(("exit", typ))
            self.pending = Suspend(None)
            try:
                await self.pending
            except GeneratorExit as e:
                self.log.append(("exit closed", self.pending.closed, e.__context__))
                raise
        return self.suppress


class Store:
    def __init__(self, factory):
        self.factory = factory

    def get_status(self, db):
        return self.factory()


@pytest.fixture
def wire(monkeypatch):
    """wire(factory, **session): rebinds tidewell's collaborators; returns (log, sessions made)."""

    def install(factory, **session):
        log, sessions = [], []

        def context():
            sessions.append(Session(log, **session))
            return sessions[-1]

        monkeypatch.setattr(tidewell, "get_db_session_context", context)
        monkeypatch.setattr(tidewell, "crud_sync_status", Store(factory))
        monkeypatch.setattr(tidewell, "_create_response", lambda model: model)
        return log, sessions

    return install


def python_twin(log, sessions, factory, **session):
    """get_sync_status as plain Python, with the same doubles."""

    def context():
        sessions.append(Session(log, **session))
        return sessions[-1]

    async def get_sync_status():
        async with context() as db:
            status_model = await Store(factory).get_status(db)
            return status_model

    return get_sync_status()


def both(wire, factory, **session):
    """(native coroutine, its log, its sessions), (Python coroutine, its log, its sessions)."""
    log, sessions = wire(factory, **session)
    native = tidewell.get_sync_status()
    plog, psessions = [], []
    return (native, log, sessions), (python_twin(plog, psessions, factory, **session), plog, psessions)


# ---- close() inside async with whose exit suppresses ------------------------------------


def test_close_inside_a_suppressing_session_returns_none(wire):
    for coro, log, _ in both(wire, Suspend, suppress=True):
        assert coro.send(None) == "suspended"
        assert coro.close() is None
        assert [entry[1] for entry in log[1:]] == [GeneratorExit]


def test_generator_close_that_returns_is_a_normal_finish(tmp_path):
    # A file context whose exit swallows GeneratorExit: the generator returns during close().
    path = tmp_path / "a.log"
    path.write_text("x\ny\n")

    class Swallowing:
        def __init__(self, path):
            self.path = path

        def open(self, *args, **kwargs):
            inner = open(self.path, *args, **kwargs)

            class Ctx:
                def __enter__(self):
                    return inner

                def __exit__(self, *exc):
                    inner.close()
                    return True

            return Ctx()

        parent = property(lambda self: Swallowing(tmp_path / "missing-dir"))
        name = property(lambda self: "a.log")

        def __truediv__(self, other):
            return self

        def exists(self):
            return False

    class Current(Swallowing):
        parent = property(lambda self: Missing())

    class Missing:
        def __truediv__(self, other):
            return self

        def exists(self):
            return False

    gen = logs._iter_rotated_and_current(Current(path))
    assert next(gen) == "x\n"
    assert gen.close() is None


# ---- names fixed at creation --------------------------------------------------------------


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_are_fixed_when_the_coroutine_is_created(monkeypatch, attribute):
    monkeypatch.setattr(parcelry.get_sync_item, attribute, "before")
    coro = parcelry.get_sync_item(1)
    monkeypatch.setattr(parcelry.get_sync_item, attribute, "after")
    try:
        assert getattr(coro, attribute) == "before"
    finally:
        coro.close()


# ---- the garbage collector ----------------------------------------------------------------


class Holder:
    pass


def collected(make):
    """make(holder) builds a cycle through holder; True when gc frees it."""
    h = Holder()
    obj = make(h)
    ref = weakref.ref(obj)
    del obj, h
    gc.collect()
    return ref() is None


def test_a_cycle_through_coroutine_arguments_is_collected(recwarn):
    def make(h):
        h.c = parcelry.list_parcelry(1, order_by=h)
        return h.c

    assert collected(make)


def test_a_cycle_through_generator_arguments_is_collected():
    def make(h):
        h.g = logs._iter_log_records(h)
        return h.g

    assert collected(make)


@pytest.mark.parametrize("native", [True, False], ids=["native", "python"])
def test_a_suspended_coroutine_in_a_cycle_through_its_awaited_object_is_finalised(wire, native):
    pairs = both(wire, Suspend)
    coro, log, _ = pairs[0 if native else 1]
    pairs[1 if native else 0][0].close()
    assert coro.send(None) == "suspended"
    awaited = coro.cr_await
    # The awaited object (a Suspend's __await__ generator) reaches back to the coroutine.
    awaited.gi_frame.f_locals["self"].back = coro
    ref = weakref.ref(coro)
    del coro, awaited, pairs
    gc.collect()
    assert ref() is None
    exits = [entry for entry in log if entry[0] == "exit"]
    assert len(exits) == 1 and exits[0][1] is GeneratorExit


def test_the_awaited_object_and_arguments_are_visited():
    h = Holder()
    coro = parcelry.list_parcelry(1, order_by=h)
    try:
        assert h in gc.get_referents(coro)
    finally:
        coro.close()


# ---- a coroutine dropped while its exit awaits --------------------------------------------


@pytest.mark.parametrize("cycle", [False, True], ids=["plain", "await-refers-back"])
@pytest.mark.parametrize("native", [True, False], ids=["native", "python"])
def test_dropped_while_the_exit_awaits_is_freed_and_the_exit_closed(wire, native, cycle):
    # With `cycle`, the exit's pending await refers back to the coroutine, as an
    # asyncio future does through its Task's wake-up callback.
    refs, logs_ = [], []
    # No collection inside the loop: one run while a body handles its error
    # would finalise earlier ones with that error as the handled exception.
    gc.disable()
    try:
        run_and_drop(wire, native, cycle, refs, logs_)
    finally:
        gc.enable()
    gc.collect()
    assert sum(r() is not None for r in refs) == 0
    # Each exit's pending await was closed once, and the GeneratorExit it got
    # has no context, as the host's.
    assert all(log[-1] == ("exit closed", 1, None) for log in logs_)


def run_and_drop(wire, native, cycle, refs, logs_):
    for _ in range(1000 if native else 50):
        pairs = both(wire, Suspend, exit_awaits=True)
        coro, log, sessions = pairs[0 if native else 1]
        pairs[1 if native else 0][0].close()
        assert coro.send(None) == "suspended"
        assert coro.throw(KeyError("boom")) == "suspended"  # the exit now awaits
        if cycle:
            sessions[0].pending.back = coro
        refs.append(weakref.ref(coro))
        logs_.append(log)
        for _, _, made in pairs:
            made.clear()  # (the fixture's undo list keeps the session factories)
        del coro, pairs, sessions, log


# ---- the exit sees a traceback that names the function ------------------------------------


def test_our_own_error_reaches_the_exit_with_a_traceback(monkeypatch):
    log = []
    monkeypatch.setattr(tidewell, "get_db_session_context", lambda: Session(log))
    monkeypatch.setattr(tidewell, "crud_sync_status", Holder())  # no read method: AttributeError is ours
    monkeypatch.setattr(tidewell, "_create_response", lambda model: model)
    with pytest.raises(AttributeError):
        asyncio.run(tidewell.get_sync_status())
    _, typ, value, tb, same = log[1]
    assert typ is AttributeError and tb is not None and same
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert names.count("get_sync_status") == 1


def test_generator_file_context_exit_gets_a_traceback(tmp_path, monkeypatch):
    seen = []
    path = tmp_path / "a.log"
    path.write_text("x\n")

    class Ctx:
        def __init__(self, inner):
            self.inner = inner

        def __enter__(self):
            return self

        def __iter__(self):
            return self

        def __next__(self):
            raise ValueError("bad read")

        def __exit__(self, typ, value, tb):
            seen.append((typ, tb, value.__traceback__ is tb if value else None))
            return False

    class P:  # path-like without __fspath__: its own open() is used
        name = "a.log"
        parent = property(lambda self: self)

        def __truediv__(self, other):
            return self

        def exists(self):
            return False

        def open(self, *args, **kwargs):
            return Ctx(None)

    with pytest.raises(ValueError):
        list(logs._iter_rotated_and_current(P()))
    assert seen and seen[0][0] is ValueError and seen[0][1] is not None and seen[0][2]


# ---- inspect.signature resolves string annotations ----------------------------------------


@pytest.mark.parametrize("function", [parcelry.get_sync_item, tidewell.get_sync_status, keyfolio.list_keyfolio,
                                      logs.get_recent_log_lines])
def test_signature_with_eval_str_resolves_annotations(function):
    sig = inspect.signature(function, eval_str=True)
    hints = typing.get_type_hints(function)
    assert sig.return_annotation == hints["return"]
    for name, param in sig.parameters.items():
        assert param.annotation == hints[name]
    assert str(inspect.signature(function)) == str(inspect.signature(function, eval_str=False))


def test_leak_loop_dropped_while_the_exit_awaits(wire):
    log, sessions = wire(Suspend, exit_awaits=True)

    def step():
        coro = tidewell.get_sync_status()
        coro.send(None)
        coro.throw(KeyError("boom"))
        del coro
        sessions.clear()
        log.clear()

    assert blocks_grown(step, calls=20_000) < ALLOWED_GROWTH


# ---- errors travel as values: what the caller sees is the host's ---------------------------


class Boom(Exception):
    pass


async def raising():
    raise Boom("store")


def raising_now():
    raise Boom("call")


class BrokenExit(Session):
    async def __aexit__(self, typ, value, tb):
        await Suspend(None)
        raise OSError("rollback")


def tb_names(error):
    tb, names = error.__traceback__, []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return [n for n in names if n not in ("drive_to_end",)]


def drive_to_end(coro, throw=False):
    try:
        value = coro.send(None)
        while True:
            value = coro.throw(Boom("thrown")) if throw and value == "suspended" else coro.send(None)
            throw = False
    except StopIteration:
        return None
    except BaseException as error:
        return error


@pytest.mark.parametrize("case", ["awaited raises", "call raises", "exit raises", "thrown in"])
def test_errors_leave_as_the_host_s(wire, monkeypatch, case):
    factory = {"awaited raises": raising, "call raises": raising_now, "exit raises": raising}.get(case, Suspend)
    outcomes = []
    for native in (True, False):
        log, sessions = [], []
        if native:
            log, sessions = wire(factory)
            coro = tidewell.get_sync_status()
        else:
            coro = python_twin(log, sessions, factory)
        if case == "exit raises":
            # The exit is broken and awaits before it raises; the store's error is its context.
            broken = lambda: BrokenExit(log)  # noqa: E731
            if native:
                monkeypatch.setattr(tidewell, "get_db_session_context", broken)
            else:
                coro.close()
                coro = python_twin_with(broken, raising)
        error = drive_to_end(coro, throw=case == "thrown in")
        context = error.__context__
        outcomes.append((type(error), str(error), type(context), tb_names(error)[:1]))
    assert outcomes[0] == outcomes[1], outcomes


def python_twin_with(context, factory):
    async def get_sync_status():
        async with context() as db:
            status_model = await Store(factory).get_status(db)
            return status_model

    return get_sync_status()
