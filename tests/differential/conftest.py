"""Differential harness: a native coroutine or generator against its plain-Python twin.

Both sides get their own copy of the same recording doubles (the twin's are bound
in the twin module's namespace, the native ones on the module with
monkeypatch), are driven through the same steps, and must leave the same
observable trace: what each step yields, returns or raises, what every
collaborator was called with (a session's exit included), warnings and errors
that could only be reported as unraisable, and whether the object was freed.

A `World` is one side's state: its journal, its doubles' behaviour (`plan`,
`data`) and the labels that let the two sides compare identities ("the exit got
the very error thrown in").
"""
import asyncio
import datetime
import enum
import gc
import importlib
import os
import sys
import types
import warnings
import weakref
from dataclasses import dataclass, field

import pydantic
import pytest
from hypothesis import HealthCheck, Phase, settings, strategies as st

import zentab_api.python_api.admin.logs as logs
import zentab_api.python_api.auth.local.keyfolio as keyfolio
import zentab_api.python_api.sync.parcelry as parcelry
import zentab_api.python_api.sync.tidewell as tidewell
from zentab_client.exceptions import APIKeyInvalidException
from zentab_tidewell.models.enums import SyncLoopStatus
from zentab_service_manager.status import EnablementStatus, InstallationStatus, RunningStatus

from twins.checks import at_call

# Every function gets at least 100 random sequences in `make test`.
# HYPOTHESIS_DIFFERENTIAL=long runs 2,000 each; =quick skips shrinking (a first look at failures);
# =search runs 1,500 new ones each without shrinking.
settings.register_profile("differential", max_examples=100, deadline=None, derandomize=True,
                          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
settings.register_profile("differential-long", settings.get_profile("differential"), max_examples=2000,
                          derandomize=False)
settings.register_profile("differential-quick", settings.get_profile("differential"),
                          phases=[Phase.explicit, Phase.generate], report_multiple_bugs=False)
settings.register_profile("differential-search", settings.get_profile("differential-quick"), max_examples=1500,
                          derandomize=False)
PROFILE = "differential-" + os.environ["HYPOTHESIS_DIFFERENTIAL"] if os.environ.get(
    "HYPOTHESIS_DIFFERENTIAL") else "differential"

NATIVE = {"tidewell": tidewell, "parcelry": parcelry, "keyfolio": keyfolio, "logs": logs}
COROUTINES = {
    "tidewell": ["start_tidewell", "stop_tidewell", "get_sync_status", "get_sync_errors",
                 "set_sync_status_error_viewed", "mark_all_sync_status_errors_viewed", "generate_tidewell_report",
                 "get_tidewell_error_report", "report_tidewell"],
    "parcelry": ["list_parcelry", "get_sync_item", "reset_sync_item", "prioritize_sync_item",
                 "generate_sync_item_report", "get_sync_item_error_report", "report_sync_item"],
    "keyfolio": ["create_api_token", "list_keyfolio", "delete_api_token", "check_api_token"],
}
GENERATORS = {"logs": ["_iter_rotated_and_current", "_iter_log_records"]}
# Traceback entries are compared by the names of the module's own functions only
# (the twin has helper frames of its own, the native side has none).
OWN = {"tidewell": set(COROUTINES["tidewell"]) | {"_create_response", "_get_service_status_safe"},
       "parcelry": set(COROUTINES["parcelry"]), "keyfolio": set(COROUTINES["keyfolio"]),
       "logs": set(GENERATORS["logs"])}


def twin_module(name):
    """The twin module, its namespace completed with the native module's other names."""
    twin = importlib.import_module("twins." + name)
    for key, value in vars(NATIVE[name]).items():
        if not key.startswith("__") and key not in OWN[name] and key not in vars(twin):
            setattr(twin, key, value)
    for key in OWN[name]:
        function = vars(twin).get(key)
        if hasattr(function, "convert_at_call") and not hasattr(function, "__wrapped__"):
            # The native function converts its arguments at the call, before the coroutine exists.
            function = at_call(function)
            setattr(twin, key, function)
        if hasattr(function, "__wrapped__") and function.__code__.co_name != key:
            # An argument refused at the call has a traceback entry named after the native
            # function; the twin's converting wrapper gets that name for its frame.
            function.__code__ = function.__code__.replace(co_name=key)
    return twin


# ---- one side's state -----------------------------------------------------------------

@dataclass(frozen=True)
class Beh:
    """How one double behaves: suspend k times, then fail with `fail` (an error kind) or not."""
    k: int = 0
    fail: str | None = None
    exit_k: int = 0           # sessions: suspensions inside the exit
    exit_mode: str = "pass"   # sessions: "pass", "suppress" or "raise"
    enter_fail: str | None = None
    call_fail: str | None = None  # awaited doubles: the call itself raises, before there is anything to await


ERRORS = {"value": lambda where: ValueError(f"{where} failed"),
          "cancel": lambda where: asyncio.CancelledError(),
          "connection": lambda where: ConnectionError(f"{where} unreachable"),
          "invalid": lambda where: APIKeyInvalidException(f"{where} invalid"),
          "key": lambda where: KeyError(where)}


class World:
    def __init__(self, module, plan, data, mode):
        self.module, self.plan, self.data, self.mode = module, plan, data, mode
        self.journal = []
        self.labels, self.keep = {}, []
        self.own = OWN[module]
        self.counter = 0
        self.suspended_in = None  # the double whose await is pending, if any
        self.made = []  # weak references to what the doubles made for this call (see "cycle")

    def made_here(self, obj):
        self.made.append(weakref.ref(obj))

    def cycle(self, obj):
        """Everything the doubles made for this call that is still alive refers to `obj`: what the
        object under test holds of it (an awaitable, an opened file) now makes a cycle with it."""
        for made in self.made:
            if (x := made()) is not None:
                x.back = obj

    def beh(self, name):
        return self.plan.get(name, Beh())

    def label(self, obj, name):
        if isinstance(obj, BaseException):
            # Not kept: a kept error would keep its frames, and the frame of a
            # collaborator called by a native function links back (f_back) to the
            # frame that drives it, which holds the object under test.
            obj._differential_label = name
        else:
            self.labels[id(obj)] = name
            self.keep.append(obj)
        return obj

    def label_of(self, obj):
        if isinstance(obj, BaseException):
            return obj.__dict__.get("_differential_label")
        return self.labels.get(id(obj))

    def error(self, kind, where):
        self.counter += 1
        return self.label(ERRORS[kind](where), f"{where}:{kind}#{self.counter}")

    def log(self, *entry):
        self.journal.append(entry)

    # -- what a caller can see of a value, an error, a traceback --

    def tb_names(self, tb):
        names = []
        while tb is not None:
            name = tb.tb_frame.f_code.co_name
            if name in self.own:
                names.append(name)
            tb = tb.tb_next
        return tuple(names)

    def exc(self, e, depth=0):
        """An error and its chain, every link with its own traceback entries (three links deep)."""
        if e is None:
            return None
        label = self.label_of(e)
        head = ("exc", label or type(e).__name__, "" if label else str(e))
        if depth == 3:
            return head
        return head + (self.exc(e.__context__, depth + 1), self.exc(e.__cause__, depth + 1), e.__suppress_context__,
                       self.tb_names(e.__traceback__))

    def desc(self, obj):
        if self.label_of(obj):
            return ("obj", self.label_of(obj))
        if isinstance(obj, BaseException):
            return self.exc(obj)
        if isinstance(obj, enum.Enum):
            return ("enum", type(obj).__name__, obj.name)
        if obj is None or isinstance(obj, (bool, int, float, str)):
            return (type(obj).__name__, obj)
        if isinstance(obj, (list, tuple)):
            return (type(obj).__name__,) + tuple(self.desc(x) for x in obj)
        if isinstance(obj, dict):
            return ("dict",) + tuple((self.desc(k), self.desc(v)) for k, v in obj.items())
        if isinstance(obj, Rec):
            return ("rec", obj._tag, self.desc(obj._fields))
        if isinstance(obj, pydantic.BaseModel):
            return ("model", type(obj).__name__, self.desc(obj.model_dump()))
        if isinstance(obj, (datetime.datetime, datetime.date)):
            return ("time", obj.isoformat())
        return ("other", type(obj).__name__)

    def exit_args(self, t, v, tb):
        return (t.__name__ if t is not None else None, self.exc(v), tb is not None,
                None if v is None else v.__traceback__ is tb, self.tb_names(tb))


class Rec:
    """A record made by a double: attributes, compared by tag and fields."""

    def __init__(self, tag, **fields):
        self._tag, self._fields = tag, fields
        self.__dict__.update(fields)


class Ticks:
    """Awaitable: suspends k times (recording what comes back in), then fails or returns."""

    def __init__(self, world, name, k, fail=None, result=None):
        self.world, self.name, self.k, self.fail, self.result = world, name, k, fail, result
        world.made_here(self)

    def __await__(self):
        world = self.world
        for i in range(self.k):
            try:
                world.suspended_in = self.name
                got = yield (None if world.mode == "task" else ("tick", self.name, i))
            except BaseException as e:
                world.log("thrown into", self.name, world.exc(e))
                raise
            finally:
                world.suspended_in = None
            world.log("resumed", self.name, world.desc(got))
        if self.fail:
            raise world.error(self.fail, self.name)
        return self.result() if callable(self.result) else self.result


def call(world, name, result=None):
    """A recording synchronous collaborator."""
    def double(*args, **kwargs):
        world.log(name, world.desc(args), world.desc(kwargs))
        beh = world.beh(name)
        if beh.fail:
            raise world.error(beh.fail, name)
        return result(*args, **kwargs) if callable(result) else result
    return double


def awaited(world, name, result=None):
    """A recording collaborator whose result is awaited."""
    def double(*args, **kwargs):
        world.log(name, world.desc(args), world.desc(kwargs))
        beh = world.beh(name)
        if beh.call_fail:
            raise world.error(beh.call_fail, name)
        return Ticks(world, name, beh.k, beh.fail, lambda: result(*args) if callable(result) else result)
    return double


class ASession:
    """get_db_session_context() as an async context manager: entry and exit may suspend, fail, suppress."""

    def __init__(self, world):
        self.world = world
        self.db = world.label(types.SimpleNamespace(), "db")

    def __call__(self):
        self.world.log("session")
        return self

    async def __aenter__(self):
        beh = self.world.beh("session")
        self.world.log("enter")
        await Ticks(self.world, "enter", beh.k, beh.enter_fail)
        return self.db

    async def __aexit__(self, t, v, tb):
        beh = self.world.beh("session")
        self.world.log("exit", self.world.exit_args(t, v, tb))
        await Ticks(self.world, "exit", beh.exit_k)
        if beh.exit_mode == "raise":
            raise self.world.error("value", "exit")
        return beh.exit_mode == "suppress"


class Session:
    """The synchronous session context of keyfolio."""

    def __init__(self, world, session):
        self.world, self.session = world, session

    def __call__(self):
        self.world.log("session")
        return self

    def __enter__(self):
        beh = self.world.beh("session")
        self.world.log("enter")
        if beh.enter_fail:
            raise self.world.error(beh.enter_fail, "enter")
        return self.session

    def __exit__(self, t, v, tb):
        beh = self.world.beh("session")
        self.world.log("exit", self.world.exit_args(t, v, tb))
        if beh.exit_mode == "raise":
            raise self.world.error("value", "exit")
        return beh.exit_mode == "suppress"


class Template:
    def __init__(self, world, name, result):
        self.world, self.name, self.result = world, name, result

    def format(self, **kwargs):
        return call(self.world, self.name + ".format", self.result)(**kwargs)


# ---- the doubles of each module ----------------------------------------------------------

def tidewell_doubles(world):
    d = world.data

    def service_module(tag, state):
        installed, running, enabled = state
        snapshot = Rec("snapshot", installation_status=InstallationStatus.INSTALLED if installed
                       else InstallationStatus.NOT_INSTALLED,
                       running_status=RunningStatus.RUNNING if running else RunningStatus.STOPPED,
                       enablement_status=EnablementStatus.ENABLED if enabled else EnablementStatus.DISABLED)

        class Service:
            @property
            def status(self):
                return call(world, tag + ".status", snapshot)()

            start = staticmethod(call(world, tag + ".start"))
            stop = staticmethod(call(world, tag + ".stop"))

        service = world.label(Service(), tag + ".service")
        return types.SimpleNamespace(get_service=call(world, tag + ".get_service", service))

    def status_model(*args):
        return Rec("model", status=d["loop"], sync_iteration_count=7,
                   last_update=datetime.datetime(2024, 5, 1, 10, 0) if d["updated"] else None)

    crud = types.SimpleNamespace(
        get_status=awaited(world, "get_status", status_model),
        update_status=awaited(world, "update_status", status_model),
        read_sync_status_errors=awaited(world, "read_errors", lambda *a: ["e1", "e2"]),
        set_sync_status_error_viewed=awaited(world, "set_viewed", "row"),
        mark_all_sync_status_errors_viewed=awaited(world, "mark_all", d["flipped"]))
    template = (d["template"] if isinstance(d["template"], str)
                else Template(world, "template", d["template"][0]))
    return dict(
        tidewell=service_module("agent", d["agent"]), sync_api=service_module("api", d["api"]),
        get_db_session_context=ASession(world), crud_sync_status=crud,
        SyncStatusReadV1=call(world, "SyncStatusReadV1", lambda **k: Rec("status", **k)),
        SyncStatusErrors=types.SimpleNamespace(model_validate=call(world, "errors.validate",
                                                                   lambda e: ("err", e))),
        REPORT_TEMPLATE_TIDEWELL=template,
        format_sync_source_errors=call(world, "format_errors", "ERRORS"),
        BugReportCreateV3=call(world, "BugReportCreateV3", lambda **k: Rec("bug", **k)),
        report_bug=call(world, "report_bug", "reported"))


def parcelry_doubles(world):
    d = world.data

    class Connectors(dict):
        def get(self, key):
            world.log("connectors.get", world.desc(key))
            return dict.get(self, key)

    class Status(enum.Enum):
        PENDING = "pending"

    item = Rec("item", id=41, dataIdentifier="notes/a.csv", datasetUUID="u-1", syncPriority=2.5, hasPriority=False,
               attempts=3, status=Status.PENDING,
               last_update=datetime.datetime(2024, 1, 2) if d["updated"] else None, sync_record={"logs": ["x"]})
    source = Rec("source", name="Field notes", connector="filesystem", status=d["source_status"], owner=d["owner"],
                 default_scope=None, config_data={"root": "/srv"})
    crud = types.SimpleNamespace(list_parcelry=awaited(world, "list_parcelry", lambda *a: list(d["rows"])),
                                 read_sync_item=awaited(world, "read_sync_item", Rec("row", sync_source_id=5)),
                                 update_sync_item=awaited(world, "update_sync_item", "updated"))
    template = (d["template"] if isinstance(d["template"], str)
                else Template(world, "template", d["template"][0]))
    return dict(
        get_db_session_context=ASession(world), crud_parcelry=crud,
        crud_sync_sources=types.SimpleNamespace(read_sync_source=awaited(world, "read_sync_source", source)),
        get_sync_connectors=call(world, "get_sync_connectors", lambda: Connectors(d["connectors"])),
        SyncItemReadSummaryV1=types.SimpleNamespace(model_validate=call(world, "summary", lambda r: ("S", r))),
        SyncItemReadV1=types.SimpleNamespace(model_validate=call(world, "item", lambda r: item)),
        ConnectorRead=types.SimpleNamespace(model_validate=call(world, "connector", "connector-read")),
        REPORT_TEMPLATE_SYNC_ITEM=template,
        format_connector_info=call(world, "format_connector_info", "CONNECTOR"),
        format_sync_record_logs=call(world, "format_sync_record_logs", "LOGS"),
        BugReportCreateV3=call(world, "BugReportCreateV3", lambda **k: Rec("bug", **k)),
        report_bug=call(world, "report_bug", "reported"))


def keyfolio_doubles(world):
    d = world.data

    class Column:
        def isnot(self, value):
            world.log("isnot", world.desc(value))
            return "COND"

    class Users:
        api_token = Column()

    class Statement:
        def where(self, cond):
            world.log("where", world.desc(cond))
            return "STMT"

    class DbSession:
        def scalars(self, stmt):
            world.log("scalars", world.desc(stmt))
            return types.SimpleNamespace(all=call(world, "all", lambda: [
                Rec("user", username=f"u{i}", firstname="Ada", lastname=None, api_token=token)
                for i, token in enumerate(d["rows"])]))

    class Cache(dict):
        def pop(self, *args):
            world.log("cache.pop", world.desc(args))
            return dict.pop(self, *args)

    settings_ = Rec("settings", user_sub=d["user_sub"], server_url=d["server_url"])
    response = Rec("response", uid="id1", name="given", api_token="s3cret")
    return dict(
        get_user_settings=call(world, "get_user_settings", settings_),
        get_db_session_context=Session(world, world.label(DbSession(), "db")),
        dao_api_token=types.SimpleNamespace(read=call(world, "dao.read", d["existing"]),
                                            delete=call(world, "dao.delete")),
        Users=Users, select=call(world, "select", lambda *a: Statement()),
        generate_token_name=call(world, "generate_token_name", "auto"),
        api_token_create=call(world, "api_token_create", response),
        api_token_delete=call(world, "api_token_delete"),
        APIKeyInfo=call(world, "APIKeyInfo", lambda **k: Rec("info", **k)),
        store_API_token=call(world, "store_API_token"),
        test_api_token=call(world, "test_api_token"),
        TOKEN_CACHE=Cache({"u0": "cached", "u1": "cached"}),
        APITokenCreateResponse=call(world, "APITokenCreateResponse", lambda **k: Rec("created", **k)),
        APITokenReadLocal=call(world, "APITokenReadLocal", lambda **k: Rec("local", **k)),
        APITokenCheckResponse=call(world, "APITokenCheckResponse", lambda **k: Rec("check", **k)))


def logs_doubles(world):
    return {}  # the generators take their doubles as arguments; _RECORD_START stays the module's own


DOUBLES = {"tidewell": tidewell_doubles, "parcelry": parcelry_doubles, "keyfolio": keyfolio_doubles,
           "logs": logs_doubles}


def lines_double(world, tag, lines, kind, fail_at):
    """What a log file's context yields: a generator, a plain iterator, or something not iterable."""
    if kind == "iterator":
        return iter(lines)
    if kind == "not iterable":
        return 5

    def source():
        world.log(tag + " started")
        try:
            for i, line in enumerate(lines):
                if i == fail_at:
                    raise world.error("value", tag)
                try:
                    got = yield line
                except BaseException as e:
                    world.log("thrown into", tag, world.exc(e))
                    raise
                world.log("resumed", tag, world.desc(got))
        finally:
            world.log(tag + " finished")
    return source()


def log_arguments(world, function):
    """The argument of a log generator, built from world.data."""
    d = world.data
    if function == "_iter_log_records":
        return lines_double(world, "raw", d["lines"], d["kind"], d["fail_at"])

    class File:
        def __init__(self, tag):
            self.tag = tag
            world.made_here(self)

        def __enter__(self):
            world.log("enter", self.tag)
            beh = world.beh(self.tag)
            if beh.enter_fail:
                raise world.error(beh.enter_fail, self.tag + ".enter")
            return lines_double(world, self.tag + ".lines", d["lines"], d["kind"], d["fail_at"])

        def __exit__(self, t, v, tb):
            beh = world.beh(self.tag)
            world.log("exit", self.tag, world.exit_args(t, v, tb))
            if beh.exit_mode == "raise":
                raise world.error("value", self.tag + ".exit")
            return beh.exit_mode == "suppress"

    class FakePath:
        def __init__(self, tag):
            self.tag = tag

        @property
        def parent(self):
            world.log("parent", self.tag)
            return Directory()

        @property
        def name(self):
            world.log("name", self.tag)
            return "api.log"

        def exists(self):
            world.log("exists", self.tag)
            return d["backup"]

        def open(self, *args, **kwargs):
            world.log("open", self.tag, world.desc(args), world.desc(kwargs))
            if world.beh(self.tag).fail:
                raise world.error(world.beh(self.tag).fail, self.tag + ".open")
            return File(self.tag)

    class Directory:
        def __truediv__(self, other):
            world.log("join", world.desc(other))
            return FakePath("backup")

    return FakePath("current")


# ---- driving one side ------------------------------------------------------------------

@dataclass
class Script:
    module: str
    function: str
    args: tuple
    kwargs: dict
    plan: dict
    data: dict
    mode: str                 # "manual" or "task"
    ops: list = field(default_factory=list)   # manual: ("send", v) ("throw", kind) ("close",) ("collect",)
                                               # ("cycle",) ("drop",)
    cancel_after: int | None = None            # task: loop turns before cancel, None: never


class Halt(BaseException):
    """Thrown in: a BaseException that is no Exception and none the protocol treats apart."""


THROWN = {"error": lambda: ValueError("thrown in"), "exit": GeneratorExit, "cancel": asyncio.CancelledError,
          "stop": StopIteration, "halt": Halt}


def step(world, obj, op):
    try:
        if op[0] == "send":
            value = obj.send(None if op[1] is None else world.label(("sent", op[1]), f"sent:{op[1]}"))
        elif op[0] == "throw":
            world.counter += 1
            value = obj.throw(world.label(THROWN[op[1]](), f"thrown:{op[1]}#{world.counter}"))
        elif op[0] == "close":
            return ("closed", world.desc(obj.close()))
        elif op[0] == "cycle":
            world.cycle(obj)
            return ("cycled",)
        else:
            gc.collect()
            return ("collected",)
    except StopIteration as e:
        return ("stop", world.desc(e.value))
    except BaseException as e:  # noqa: B036 - every outcome is compared
        return ("raise", world.exc(e))
    return ("yield", world.desc(value))


def assert_visited_once(obj):
    """The collector is shown each reference `obj` holds once: an object it shows k times must
    have k references from it, besides the k of the list that reports them and the call's own."""
    shown = gc.get_referents(obj)
    counts = {}
    for x in shown:
        counts[id(x)] = counts.get(id(x), 0) + 1
    for x in shown:
        assert 2 * counts[id(x)] + 1 <= sys.getrefcount(x), f"{type(x).__name__} shown {counts[id(x)]} times"


def run_side(script, native, loop):
    """Run the script on one side; returns (trace, journal)."""
    world = World(script.module, script.plan, script.data, script.mode)
    module = NATIVE[script.module] if native else twin_module(script.module)
    trace = []
    unraisable = []
    old_hook = sys.unraisablehook
    with pytest.MonkeyPatch.context() as patch, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for name, value in DOUBLES[script.module](world).items():
            patch.setattr(module, name, value)
        sys.unraisablehook = lambda u: unraisable.append((world.exc(u.exc_value), str(u.err_msg), type(u.object).__name__.rsplit("_", 1)[-1]))
        try:
            function = getattr(module, script.function)
            args = script.args
            if script.module == "logs":
                args = (log_arguments(world, script.function),)
            try:
                obj = function(*args, **script.kwargs)
            except BaseException as e:  # noqa: B036
                trace.append(("call raised", world.exc(e)))
                obj = None
            if obj is not None and script.mode == "task":
                trace.append(loop.run_until_complete(in_task(world, obj, script.cancel_after)))
                obj = None
            elif obj is not None:
                alive = weakref.ref(obj)
                for op in script.ops:
                    if op[0] == "drop":
                        del obj
                        gc.collect()
                        trace.append(("dropped", alive() is None))
                        break
                    trace.append((op, step(world, obj, op)))
                    assert_visited_once(obj)
                else:
                    trace.append((("last close",), step(world, obj, ("close",))))
                    del obj
                    gc.collect()
                    trace.append(("freed", alive() is None))
            gc.collect()
        finally:
            sys.unraisablehook = old_hook
        trace.append(("warnings", tuple(sorted(f"{w.category.__name__}: {w.message}" for w in caught))))
    trace.append(("unraisable", tuple(unraisable)))
    return trace, world.journal


async def in_task(world, obj, cancel_after):
    task = asyncio.ensure_future(obj)
    if cancel_after is not None:
        for _ in range(cancel_after):
            await asyncio.sleep(0)
        task.cancel()
    try:
        return ("result", world.desc(await task))
    except BaseException as e:  # noqa: B036
        return ("task raised", world.exc(e))


# ---- what hypothesis draws --------------------------------------------------------------

ks = st.sampled_from([0, 1, 1, 2])
fails = st.sampled_from([None, None, "value", "cancel"])
call_beh = st.builds(Beh, fail=st.sampled_from([None, None, "value"]))
await_beh = st.builds(Beh, k=ks, fail=fails, call_fail=st.sampled_from([None, None, None, "value", "cancel"]))
async_session = st.builds(Beh, k=ks, enter_fail=fails, exit_k=ks,
                          exit_mode=st.sampled_from(["pass", "pass", "suppress", "raise"]))
sync_session = st.builds(Beh, enter_fail=st.sampled_from([None, None, "value"]),
                         exit_mode=st.sampled_from(["pass", "pass", "suppress", "raise"]))
file_beh = st.builds(Beh, fail=st.sampled_from([None, None, "value"]), enter_fail=st.sampled_from([None, None, "value"]),
                     exit_mode=st.sampled_from(["pass", "pass", "suppress", "raise"]))


def plan(session=None, **doubles):
    return st.fixed_dictionaries({} if session is None else {"session": session}, optional=doubles)


PLANS = {
    "tidewell": plan(session=async_session, get_status=await_beh, update_status=await_beh, read_errors=await_beh,
                     set_viewed=await_beh, mark_all=await_beh, **{"agent.get_service": call_beh,
                                                                   "agent.start": call_beh, "agent.stop": call_beh,
                                                                   "api.get_service": call_beh},
                     SyncStatusReadV1=call_beh, **{"template.format": call_beh}, report_bug=call_beh),
    "parcelry": plan(session=async_session, list_parcelry=await_beh, read_sync_item=await_beh,
                     update_sync_item=await_beh, read_sync_source=await_beh, get_sync_connectors=call_beh,
                     summary=call_beh, item=call_beh, **{"template.format": call_beh}, report_bug=call_beh),
    "keyfolio": plan(session=sync_session, **{"dao.read": call_beh, "dao.delete": call_beh},
                     api_token_create=st.builds(Beh, fail=st.sampled_from([None, "value", "connection"])),
                     api_token_delete=st.builds(Beh, fail=st.sampled_from([None, "value", "connection"])),
                     test_api_token=st.builds(Beh, fail=st.sampled_from([None, "value", "invalid", "cancel"])),
                     store_API_token=call_beh),
    "logs": plan(current=file_beh, backup=file_beh),
}

states = st.tuples(st.booleans(), st.booleans(), st.booleans())
DATA = {
    "tidewell": st.fixed_dictionaries(dict(
        agent=states, api=states, loop=st.sampled_from(list(SyncLoopStatus)), updated=st.booleans(),
        flipped=st.sampled_from([3, 0, 2.5, True, "3"]),
        template=st.sampled_from([("REPORT",), ("REPORT",), (5,), "{message} {absent}"]))),
    "parcelry": st.fixed_dictionaries(dict(
        rows=st.lists(st.sampled_from(["r1", "r2"]), max_size=2), updated=st.booleans(),
        source_status=st.sampled_from([enum.Enum("SourceStatus", "ACTIVE").ACTIVE, "plain"]),
        owner=st.sampled_from([None, "alice"]), connectors=st.sampled_from([{}, {"filesystem": "fs"}]),
        template=st.sampled_from([("REPORT",), ("REPORT",), (5,), "{message} {absent}"]))),
    "keyfolio": st.fixed_dictionaries(dict(
        user_sub=st.sampled_from(["u1", "u1", ""]), server_url=st.sampled_from(["http://srv", "http://srv", None]),
        existing=st.sampled_from([None, None, "token"]),
        rows=st.lists(st.sampled_from([None, {}, {"uid": "id1", "name": "n", "api_token": "t"},
                                       {"uid": "other"}, 5]), max_size=3))),
    "logs": st.fixed_dictionaries(dict(
        backup=st.booleans(), kind=st.sampled_from(["generator", "generator", "iterator", "not iterable"]),
        fail_at=st.sampled_from([None, None, 0, 1, 2]),
        lines=st.lists(st.sampled_from(["2024-05-01 10:00:00,001 start\n", "  more\n", "\n", "tail",
                                        "2024-05-01 10:00:00,002 next\r\n"]), max_size=4))),
}

ARGS = {
    "get_sync_errors": st.sampled_from([((), {}), ((3, 1, True), {}), ((2.5,), {"viewed": False}),
                                        (("x",), {})]),
    "set_sync_status_error_viewed": st.sampled_from([((4, True), {}), ((True, 0), {}), ((None, 1), {})]),
    "list_parcelry": st.sampled_from([((1,), {}), ((2, True, None, "s", "q", "key", "asc", 3.0, 5), {}),
                                      ((1,), {"is_synchronized": 1})]),
    "create_api_token": st.sampled_from([((), {}), (("mine",), {}), ((), {"name": 5})]),
    "delete_api_token": st.sampled_from([(("id1",), {}), (("nope",), {}), ((None,), {})]),
    "check_api_token": st.sampled_from([(("id1",), {}), (("nope",), {}), ((None,), {})]),
}
for name in ("generate_tidewell_report", "get_tidewell_error_report", "report_tidewell"):
    ARGS[name] = st.sampled_from([(("hello",), {}), ((5,), {})])
for name in ("get_sync_item", "reset_sync_item", "prioritize_sync_item"):
    ARGS[name] = st.sampled_from([((41,), {}), ((7.9,), {}), (("x",), {})])
for name in ("generate_sync_item_report", "get_sync_item_error_report", "report_sync_item"):
    ARGS[name] = st.sampled_from([((41, "hello"), {}), ((41, None), {})])

op = st.one_of(
    st.tuples(st.just("send"), st.sampled_from([None, None, None, "v"])),
    st.tuples(st.just("throw"), st.sampled_from(["error", "error", "exit", "cancel", "stop", "halt"])),
    st.tuples(st.just("close")), st.tuples(st.just("collect")), st.tuples(st.just("cycle")),
    st.tuples(st.just("drop")))
# Most sequences start the object, so that later steps meet it suspended.
ops = st.builds(lambda start, rest: start + rest,
                st.sampled_from([[("send", None)]] * 4 + [[]]), st.lists(op, max_size=6))


@st.composite
def scripts(draw, module, function):
    mode = "manual" if module == "logs" else draw(st.sampled_from(["manual", "manual", "task"]))
    args, kwargs = draw(ARGS.get(function, st.just(((), {}))))
    return Script(module, function, args, kwargs, draw(PLANS[module]), draw(DATA[module]), mode,
                  ops=draw(ops) if mode == "manual" else [],
                  cancel_after=draw(st.one_of(st.none(), st.integers(0, 8))) if mode == "task" else None)


def compare(script, loop):
    # What exists before the script is never its garbage; frozen, it is not scanned
    # again by the collections below (hypothesis' own records grow with every example).
    gc.freeze()
    native = run_side(script, True, loop)
    twin = run_side(script, False, loop)
    assert native[0] == twin[0], "outcomes differ"
    assert native[1] == twin[1], "collaborator journals differ"


@pytest.fixture(scope="module")
def loop():
    # What exists now is never garbage of a script: a full collection then only
    # looks at what the scripts make, which keeps gc.collect() cheap.
    gc.collect()
    gc.freeze()
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()
    gc.unfreeze()
