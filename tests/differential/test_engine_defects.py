"""Behaviours in which our coroutine and generator objects once differed from the host's.

Each test states what a Python coroutine or generator does, checked on its twin
and on the native function alike.
"""
import gc
import sys
import warnings
import weakref

import pytest
from hypothesis import Phase, given, settings, strategies as st

from conftest import (COROUTINES, GENERATORS, NATIVE, PROFILE, Beh, Script, World, compare, log_arguments,
                      run_side, scripts, twin_module, DOUBLES)

FUNCTIONS = [(m, f) for m, names in {**COROUTINES, **GENERATORS}.items() for f in names]


def both(behaviour):
    """Run a check of `behaviour` on the native module and on its twin."""
    return pytest.mark.parametrize("native", [True, False], ids=["native", "twin"])


def bound(module, native, world, monkeypatch):
    target = NATIVE[module] if native else twin_module(module)
    for name, value in DOUBLES[module](world).items():
        monkeypatch.setattr(target, name, value)
    return target


TIDEWELL_DATA = dict(agent=(True, True, True), api=(True, False, True), loop=None, updated=False, flipped=3,
                     template=("REPORT",))
PARCELRY_DATA = dict(rows=["r1"], updated=False, source_status="plain", owner=None, connectors={},
                     template=("REPORT",))


def tidewell_data(**over):
    from zentab_tidewell.models.enums import SyncLoopStatus
    return {**TIDEWELL_DATA, "loop": SyncLoopStatus.RUNNING, **over}


# ---- (1) close() inside an exit that suppresses --------------------------------------------

@pytest.mark.parametrize("module, function, args, data, pending", [
    ("tidewell", "get_sync_status", (), tidewell_data(), "get_status"),
    ("parcelry", "get_sync_item", (41,), PARCELRY_DATA, "read_sync_item"),
    ("parcelry", "report_sync_item", (41, "m"), PARCELRY_DATA, "read_sync_source"),
], ids=["tidewell.get_sync_status", "parcelry.get_sync_item", "parcelry.report_sync_item"])
@pytest.mark.parametrize("how", ["close", "drop"])
def test_close_while_a_suppressing_exit_lets_the_body_return(loop, module, function, args, data, pending, how):
    script = Script(module, function, args, {}, {"session": Beh(exit_mode="suppress"), pending: Beh(k=1)}, data,
                    "manual", ops=[("send", None), (how,)])
    twin_trace = run_side(script, False, loop)[0]
    assert twin_trace[1] == ((("close",), ("closed", ("NoneType", None))) if how == "close" else ("dropped", True))
    assert twin_trace[-1] == ("unraisable", ())  # nothing to report when a finalised body returns
    compare(script, loop)


# ---- (2) reference cycles and coroutines dropped inside their exit ---------------------------

def exits(world):
    return [entry for entry in world.journal if entry[0] == "exit"]


@both("a reference cycle through a coroutine's arguments is never collected")
@pytest.mark.parametrize("started", [False, True], ids=["created", "suspended"])
def test_cycle_through_the_arguments_is_collected(monkeypatch, native, started):
    world = World("parcelry", {"list_parcelry": Beh(k=1)}, PARCELRY_DATA, "manual")
    module = bound("parcelry", native, world, monkeypatch)
    holder = type("Holder", (), {})()
    holder.c = module.list_parcelry(1, order_by=holder)
    if started:
        holder.c.send(None)
    alive = weakref.ref(holder.c)
    del holder
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gc.collect()
    assert alive() is None
    never_awaited = [w for w in caught if "was never awaited" in str(w.message)]
    assert len(never_awaited) == (0 if started else 1)
    assert len(exits(world)) == (1 if started else 0)
    if started:
        assert exits(world)[0][1][0] == "GeneratorExit"


@both("a reference cycle through a generator's argument, or through what the generator made of it, "
      "is never collected")
@pytest.mark.parametrize("function", ["_iter_log_records", "_iter_rotated_and_current"])
@pytest.mark.parametrize("through", ["argument", "what it made"])
def test_cycle_through_a_generator_argument_is_collected(monkeypatch, native, function, through):
    data = dict(backup=False, kind="generator", fail_at=None, lines=["a\n", "2024-05-01 10:00:00,001 b\n", "c\n"])
    world = World("logs", {}, data, "manual")
    module = NATIVE["logs"] if native else twin_module("logs")
    argument = log_arguments(world, function)
    if function == "_iter_log_records":
        class Lines:  # an iterable that keeps its consumer, or whose iterator does
            def __iter__(self):
                if through == "argument":
                    return argument
                return Iterator()

        class Iterator:
            back = None

            def __iter__(self):
                return self

            def __next__(self):
                return next(argument)
        holder = Lines()
        Iterator.__init__ = lambda self: setattr(self, "back", holder)
    else:
        holder = argument
        if through == "what it made":
            def opening(*args, **kwargs):  # the opened file keeps the generator reading it
                opened = type(holder).open(holder, *args, **kwargs)
                opened.back = holder
                return opened
            holder.open = opening
    holder.g = getattr(module, function)(holder)
    next(holder.g)
    alive = weakref.ref(holder.g)
    del holder, argument
    gc.collect()
    assert alive() is None
    exits = [e for e in world.journal if e[0] == "exit"]
    assert [e[2][0] for e in exits] == ([] if function == "_iter_log_records" else ["GeneratorExit"])
    assert any(str(entry[0]).endswith("finished") for entry in world.journal)


@both("a reference cycle through the awaited object is never collected")
def test_cycle_through_the_awaited_object_is_collected(monkeypatch, native):
    world = World("tidewell", {"get_status": Beh(k=1)}, tidewell_data(), "manual")
    module = bound("tidewell", native, world, monkeypatch)
    awaited = module.crud_sync_status.get_status

    def get_status(*args):
        pending = awaited(*args)
        pending.coroutine = coroutine  # the awaitable refers back to the coroutine awaiting it
        return pending

    module.crud_sync_status.get_status = get_status
    coroutine = module.get_sync_status()
    coroutine.send(None)
    alive = weakref.ref(coroutine)
    del coroutine
    gc.collect()
    assert alive() is None
    assert len(exits(world)) == 1 and exits(world)[0][1][0] == "GeneratorExit"


@both("a coroutine dropped while suspended in its session's awaiting exit is never freed")
def test_coroutines_dropped_inside_an_awaiting_exit_are_freed(monkeypatch, native):
    world = World("parcelry", {"read_sync_item": Beh(k=1), "session": Beh(exit_k=1)}, PARCELRY_DATA, "manual")
    module = bound("parcelry", native, world, monkeypatch)
    alive = []

    def step(coroutine, error):  # as an event loop's task step does: the error comes from another frame
        coroutine.throw(error)

    for _ in range(1000):
        coroutine = module.get_sync_item(41)
        coroutine.send(None)
        step(coroutine, ValueError("thrown in"))  # now suspended in the exit's own await
        assert world.suspended_in == "exit"
        alive.append(weakref.ref(coroutine))
        del coroutine
    gc.collect()
    assert sum(ref() is not None for ref in alive) == 0
    closed = [e for e in world.journal if e[:2] == ("thrown into", "exit")]
    assert len(closed) == 1000 and {e[2][1] for e in closed} == {"GeneratorExit"}


@both("the GeneratorExit sent into an exit's pending await carries a __context__")
@pytest.mark.parametrize("how", ["close", "drop"])
def test_generator_exit_into_a_pending_exit_has_no_context(monkeypatch, native, how):
    world = World("tidewell", {"get_status": Beh(fail="value"), "session": Beh(exit_k=1)}, tidewell_data(),
                  "manual")
    module = bound("tidewell", native, world, monkeypatch)
    coroutine = module.get_sync_status()
    coroutine.send(None)  # get_status failed; the exit now awaits
    assert world.suspended_in == "exit"
    if how == "close":
        coroutine.close()
    else:
        del coroutine
        gc.collect()
    (closed,) = [e for e in world.journal if e[:2] == ("thrown into", "exit")]
    assert closed[2][:4] == ("exc", "GeneratorExit", "", None)


def step(coroutine):
    """Sends None from a frame of its own, which ends with the coroutine still in its locals."""
    coroutine.send(None)


@pytest.mark.parametrize("function, plan, data", [
    pytest.param("mark_all_sync_status_errors_viewed", {}, dict(flipped="3"), id="its own error"),
    pytest.param("get_sync_status", {"SyncStatusReadV1": Beh(fail="value")}, {}, id="a collaborator's error",
                 marks=pytest.mark.xfail(strict=True, reason="a collaborator called by a body has the driving "
                                                               "Python frame as f_back, not the body's")),
])
def test_a_coroutine_dropped_while_its_exit_awaits_is_freed_at_once(monkeypatch, function, plan, data):
    """Dropped while its exit awaits for an error raised in the block: nothing refers back to
    the coroutine, so the host frees it at the drop, without the collector; the exit gets
    GeneratorExit then, once, and nothing is reported."""
    for native in (True, False):
        world = World("tidewell", {"session": Beh(exit_k=1), **plan}, tidewell_data(**data), "manual")
        module = bound("tidewell", native, world, monkeypatch)
        unraisable = []
        monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
        coroutine = getattr(module, function)()
        step(coroutine)
        assert world.suspended_in == "exit"
        alive = weakref.ref(coroutine)
        del coroutine
        assert alive() is None, "native" if native else "twin"
        assert [e[2][1] for e in world.journal if e[:2] == ("thrown into", "exit")] == ["GeneratorExit"]
        assert unraisable == []


# ---- (3) names fixed at creation ---------------------------------------------------------------

@both("a coroutine's __name__ follows later renames of its function")
@pytest.mark.parametrize("module, function, args", [("tidewell", "get_sync_status", ()),
                                                     ("parcelry", "get_sync_item", (1,)),
                                                     ("keyfolio", "list_keyfolio", ())])
def test_coroutine_names_are_fixed_at_creation(monkeypatch, native, module, function, args):
    target = getattr(NATIVE[module] if native else twin_module(module), function)
    coroutine = target(*args)
    monkeypatch.setattr(target, "__name__", "renamed")
    monkeypatch.setattr(target, "__qualname__", "renamed.too")
    try:
        assert (coroutine.__name__, coroutine.__qualname__) == (function, function)
    finally:
        coroutine.close()


# ---- (4) the traceback an exit sees for our own errors -----------------------------------------

OWN_ERRORS = [
    ("tidewell", "mark_all_sync_status_errors_viewed", (), dict(tidewell_data(), flipped="3"), {},
     "TypeError", "Expected int, got str"),
    ("parcelry", "generate_sync_item_report", (41, "m"), dict(PARCELRY_DATA, template="{message} {absent}"), {},
     "KeyError", "'absent'"),
    ("keyfolio", "list_keyfolio", (), dict(user_sub="u1", server_url="s", existing=None, rows=[5]), {},
     "AttributeError", "'int' object has no attribute 'get'"),
    ("logs", "_iter_rotated_and_current", None, dict(backup=False, kind="not iterable", fail_at=None, lines=[]), {},
     "TypeError", "'int' object is not iterable"),
]


@both("an error raised by the function's own code reaches the exit without a traceback")
@pytest.mark.parametrize("module, function, args, data, plan, error, message", OWN_ERRORS,
                         ids=[f"{m}.{f}" for m, f, *_ in OWN_ERRORS])
def test_exit_sees_the_traceback_of_our_own_errors(loop, native, module, function, args, data, plan, error,
                                                    message):
    script = Script(module, function, args or (), {}, plan, data, "manual", ops=[("send", None)])
    trace, journal = run_side(script, native, loop)
    (exit_entry,) = [e for e in journal if e[0] == "exit"]
    t, value, has_tb, same, names = exit_entry[-1]
    assert (t, value[2]) == (error, message)
    assert has_tb and same and names == (function,)
    assert trace[0][1][0] == "raise"


# ---- (5) errors raised into a body: every link of the chain, as the host builds it ------------

class Halt(BaseException):
    """A BaseException that is neither an Exception nor one the protocol treats apart."""


THROWN_IN = {"StopIteration": StopIteration, "GeneratorExit": GeneratorExit, "Halt": Halt,
             "CancelledError": lambda: __import__("asyncio").CancelledError(), "ValueError": lambda: ValueError("in")}


def chain(error, world, depth=3):
    """Type, label, cause, context, suppress flag and own traceback entries, links followed."""
    if error is None or depth == 0:
        return None
    return (type(error).__name__, world.label_of(error), chain(error.__cause__, world, depth - 1),
            chain(error.__context__, world, depth - 1), error.__suppress_context__, world.tb_names(error.__traceback__))


@pytest.mark.parametrize("kind", THROWN_IN)
@pytest.mark.parametrize("started", [False, True], ids=["created", "in an awaiting exit"])
def test_an_error_thrown_in_is_chained_as_the_host_chains_it(monkeypatch, kind, started):
    """Thrown into an exit that awaits while the store's error is handled, or into a body not
    started yet: the error that leaves (a StopIteration turned into RuntimeError) has the same
    __cause__, __context__ and traceback entries on both sides."""
    outcomes = []
    for native in (True, False):
        world = World("tidewell", {"get_status": Beh(fail="value"), "session": Beh(exit_k=1)}, tidewell_data(),
                      "manual")
        module = bound("tidewell", native, world, monkeypatch)
        coroutine = module.get_sync_status()
        if started:
            coroutine.send(None)  # get_status failed; the exit now awaits
            assert world.suspended_in == "exit"
        thrown = world.label(THROWN_IN[kind](), "thrown")
        with pytest.raises(BaseException) as raised:
            coroutine.throw(thrown)
        outcomes.append(chain(raised.value, world))
        coroutine.close()
    assert outcomes[0] == outcomes[1]
    if kind == "StopIteration" and started:  # the store's error is the one handled when the exit ran
        name, _, cause, context, *_ = outcomes[0]
        assert (name, cause[1], context[1]) == ("RuntimeError", "thrown", "get_status:value#1")


# ---- the random sequences without the masks ------------------------------------------------------

@settings(settings.get_profile(PROFILE), max_examples=300, phases=[Phase.generate], report_multiple_bugs=False)
@given(data=st.data())
def test_random_sequences_without_masks(loop, data):
    module, function = data.draw(st.sampled_from(FUNCTIONS))
    compare(data.draw(scripts(module, function)), loop)


@both("an error caught and translated by the function has no traceback entry of the function")
@pytest.mark.parametrize("function, failing, kind", [("create_api_token", "api_token_create", "connection"),
                                                     ("check_api_token", "test_api_token", "value")])
def test_a_translated_error_carries_the_function_entry(monkeypatch, native, function, failing, kind):
    world = World("keyfolio", {failing: Beh(fail=kind)},
                  dict(user_sub="u1", server_url="s", existing=None, rows=[{"uid": "id1"}]), "manual")
    module = bound("keyfolio", native, world, monkeypatch)
    coroutine = getattr(module, function)(*(("id1",) if function == "check_api_token" else ()))
    with pytest.raises(Exception) as raised:
        coroutine.send(None)
    translated = raised.value.__context__
    assert world.label_of(translated).startswith(failing)
    assert world.tb_names(translated.__traceback__) == (function,)
