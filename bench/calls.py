"""Call overhead of the native tidewell, parcelry and keyfolio functions against plain-Python peers
(their twins in twins/, the very code the differential tests compare them with), run by CPython
and compiled with Cython (bench/cython_twins.py: what a user would get by compiling the same Python).

Every function is timed on three paths: success, an argument refused at the call, and a
collaborator that raises. Both sides get the same fast doubles (a session that enters and
exits at once, store calls that return finished futures, plain objects instead of records
and enums), so what differs is only the module layer: binding and converting arguments,
making and driving the coroutine, async with / with, name and attribute lookups, calls,
errors and their tracebacks. Coroutines are driven with send(None), no event loop; the
last rows await in a loop under asyncio.run. Before timing, each case is run once on every
side and the outcomes (value, or error type and message) must agree. The last rows time
get_sync_item's collaborator doubles alone, in an inline loop: no module layer can make the whole
call faster than that; a side's time less the doubles' is its module layer's own cost.

    python bench/calls.py [--repeat 7] [--target-ms 20] [--only SUBSTRING]

Times are the best of --repeat runs of a loop sized to take about --target-ms, with the
garbage collector off during a run (as timeit does), in microseconds per call.
"""
import argparse
import asyncio
import gc
import itertools
import os
import sys
import time
from datetime import datetime
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import cython_twins  # noqa: E402
import twins.keyfolio  # noqa: E402
import twins.parcelry  # noqa: E402
import twins.tidewell  # noqa: E402
from zentab_api.python_api.auth.local import keyfolio  # noqa: E402
from zentab_api.python_api.sync import parcelry, tidewell  # noqa: E402
from zentab_api.python_api.sync.utils import REPORT_TEMPLATE_SYNC_ITEM, REPORT_TEMPLATE_TIDEWELL  # noqa: E402


# ---- doubles ------------------------------------------------------------------------

# Awaiting a finished future gives its result at once; no loop needs to run.
_loop = asyncio.new_event_loop()


def done(value):
    future = _loop.create_future()
    future.set_result(value)
    return future


def always(value):
    """A C-level callable without arguments that returns `value`."""
    return itertools.repeat(value).__next__


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("collaborator failed")


def refused(*args, **kwargs):
    raise ConnectionRefusedError(111, "refused")


class Table(dict):
    """Stands in for an Enum class: members as attributes, Table(value) gives the member."""
    __call__ = dict.__getitem__


def enum(**members):
    table = Table()
    for name, value in members.items():
        member = SimpleNamespace(value=value)
        table[value] = member
        setattr(table, name, member)
    return table


DB = object()
_entered, _exited = done(DB), done(False)


class Session:
    """Both session kinds at once: tidewell and parcelry use `async with`, keyfolio `with`."""
    __slots__ = ()
    __aenter__ = staticmethod(always(_entered))

    def __aexit__(self, exc_type, exc, tb):
        return _exited

    def __enter__(self):
        return SQL_SESSION

    def __exit__(self, exc_type, exc, tb):
        return False


InstallationStatus = enum(INSTALLED="installed", NOT_INSTALLED="not_installed")
RunningStatus = enum(RUNNING="running", STOPPED="stopped")
EnablementStatus = enum(ENABLED="enabled", DISABLED="disabled")
ServiceStatus = enum(RUNNING="running", NOT_RUNNING="not_running", NOT_ENABLED="not_enabled",
                     NOT_INSTALLED="not_installed")
TidewellStatus = enum(RUNNING="running", STOPPED="stopped", UNAVAILABLE="unavailable")
SyncLoopStatus = enum(RUNNING="running", STOPPED="stopped")


def service_module(running, stop=tuple):
    status = SimpleNamespace(installation_status=InstallationStatus.INSTALLED,
                             running_status=RunningStatus.RUNNING if running else RunningStatus.STOPPED,
                             enablement_status=EnablementStatus.ENABLED)
    return SimpleNamespace(get_service=always(SimpleNamespace(status=status, start=tuple, stop=stop)))


STATUS_MODEL = SimpleNamespace(status=SyncLoopStatus.STOPPED, sync_iteration_count=4,
                               last_update=datetime(2024, 1, 1))
ERROR_ROWS = [SimpleNamespace(id=i, message="m", created_at=datetime(2024, 1, 1), viewed=False) for i in range(3)]
_status_done, _rows_done, _row_done, _count_done = done(STATUS_MODEL), done(ERROR_ROWS), done(ERROR_ROWS[0]), done(3)

sync_status_store = SimpleNamespace(
    get_status=lambda db: _status_done,
    update_status=lambda db, loop: _status_done,
    read_sync_status_errors=lambda db, skip, limit, viewed=None: _rows_done,
    set_sync_status_error_viewed=lambda db, error_id, viewed: _row_done,
    mark_all_sync_status_errors_viewed=lambda db: _count_done,
)

ITEM = SimpleNamespace(sync_source_id=2, id=7, dataIdentifier="a", datasetUUID="u", syncPriority=1.0,
                       hasPriority=False, attempts=1, status=SyncLoopStatus.STOPPED, last_update=None,
                       sync_record=None)
SOURCE = SimpleNamespace(name="s", connector="fs", status=SyncLoopStatus.STOPPED, owner="", default_scope="x",
                         config_data=None)
_items_done, _item_done, _source_done = done([ITEM, ITEM, ITEM]), done(ITEM), done(SOURCE)

parcelry_store = SimpleNamespace(list_parcelry=lambda db, **filters: _items_done,
                                 read_sync_item=lambda db, item_id: _item_done,
                                 update_sync_item=lambda db, item_id, **values: _item_done)
sources_store = SimpleNamespace(read_sync_source=lambda db, source_id: _source_done)

USERS = [
    SimpleNamespace(username="u0", firstname="Ada", lastname=None, api_token={}),
    SimpleNamespace(username="u1", firstname="Ada", lastname="L", api_token={"uid": "a", "name": "n", "api_token": "s",
                                                                            "server_url": "http://s"}),
    SimpleNamespace(username="u2", firstname="Bo", lastname="M", api_token={"uid": "b", "name": "m", "api_token": "t"}),
]
_scalars = SimpleNamespace(all=always(USERS))
SQL_SESSION = SimpleNamespace(scalars=lambda stmt: _scalars)
_statement = SimpleNamespace(where=lambda condition: _statement)

SESSION = Session()

# The plain-Python twin of each native module (twins/), timed against it as CPython runs it and
# as Cython compiles it.
cython_twins.build()
import cytwins.keyfolio  # noqa: E402
import cytwins.parcelry  # noqa: E402
import cytwins.tidewell  # noqa: E402

SIDES = ("native", "CPython", "Cython")
PEERS = {tidewell: (twins.tidewell, cytwins.tidewell), parcelry: (twins.parcelry, cytwins.parcelry),
         keyfolio: (twins.keyfolio, cytwins.keyfolio)}


def implementations(module):
    """The module and its peers, in the order of SIDES."""
    return (module, *PEERS[module])

# The bindings the native import tables would make, per module; each peer gets its module's.
BINDINGS = {
    tidewell: dict(
        get_db_session_context=always(SESSION), crud_sync_status=sync_status_store, SyncLoopStatus=SyncLoopStatus,
        SyncStatusErrors=SimpleNamespace(model_validate=vars), SyncStatusReadV1=SimpleNamespace,
        ServiceStatus=ServiceStatus, TidewellStatus=TidewellStatus,
        REPORT_TEMPLATE_TIDEWELL=REPORT_TEMPLATE_TIDEWELL, format_sync_source_errors=len,
        report_bug=id, BugReportCreateV3=dict,
        tidewell=service_module(running=False), sync_api=service_module(running=True),
        InstallationStatus=InstallationStatus, EnablementStatus=EnablementStatus, RunningStatus=RunningStatus,
    ),
    parcelry: dict(
        get_db_session_context=always(SESSION), crud_parcelry=parcelry_store, crud_sync_sources=sources_store,
        get_sync_connectors=always({"fs": {"name": "fs"}}), report_bug=id, BugReportCreateV3=dict,
        SyncItemReadV1=SimpleNamespace(model_validate=lambda row: row),
        SyncItemReadSummaryV1=SimpleNamespace(model_validate=vars), ConnectorRead=SimpleNamespace(model_validate=str),
        REPORT_TEMPLATE_SYNC_ITEM=REPORT_TEMPLATE_SYNC_ITEM, format_connector_info=str, format_sync_record_logs=str,
    ),
    keyfolio: dict(
        get_db_session_context=always(SESSION),
        dao_api_token=SimpleNamespace(read=lambda sub, session: None, delete=lambda sub, session: None),
        Users=SimpleNamespace(api_token=SimpleNamespace(isnot=str)), select=lambda users: _statement,
        generate_token_name=always("auto"), store_API_token=len, TOKEN_CACHE={},
        api_token_create=lambda name: SimpleNamespace(uid="a", name=name, api_token="s"), api_token_delete=len,
        test_api_token=lambda sub, token: None, APIKeyInfo=dict, get_user_settings=always(
            SimpleNamespace(user_sub="u1", server_url="http://s")),
        APITokenCreateResponse=dict, APITokenReadLocal=dict, APITokenCheckResponse=dict,
        APIKeyInvalidException=keyfolio.APIKeyInvalidException,
    ),
}

# Module-specific error types the peers raise: the native modules' own.
ERROR_TYPES = {
    tidewell: ("TidewellNotInstalledError", "TidewellAlreadyRunningError", "TidewellAlreadyStoppedError"),
    keyfolio: ("NoUserLoggedInError", "UserAlreadyHasTokenError", "TokenNotFoundError", "ServerUnreachableError",
               "ServerOperationError"),
}


def bind_all():
    for module, names in BINDINGS.items():
        for name, value in names.items():
            for side in implementations(module):
                setattr(side, name, value)
    for module, names in ERROR_TYPES.items():
        for name in names:
            for peer in PEERS[module]:
                setattr(peer, name, getattr(module, name))


class rebound:
    """Binds `names` on a native module and on its peers for the duration of a case."""

    def __init__(self, module, names):
        self.sides, self.names = implementations(module), names

    def __enter__(self):
        self.saved = [(side, name, getattr(side, name)) for side in self.sides for name in self.names]
        for side in self.sides:
            for name, value in self.names.items():
                setattr(side, name, value)

    def __exit__(self, *exc):
        for side, name, value in self.saved:
            setattr(side, name, value)


def store_with(store, **failing):
    return SimpleNamespace(**{**vars(store), **failing})


# ---- cases --------------------------------------------------------------------------

SUCCESS, ARGUMENT, COLLABORATOR = "success", "argument error", "collaborator error"

# (module, function, path, call with `f` for the function, bindings for the case)
CASES = [
    (tidewell, "_get_service_status_safe", SUCCESS, "f(SERVICE)", {}),
    (tidewell, "_get_service_status_safe", ARGUMENT, "f()", {}),
    (tidewell, "_get_service_status_safe", COLLABORATOR, "f(BROKEN_SERVICE)", {}),
    (tidewell, "_create_response", SUCCESS, "f(STATUS_MODEL)", {}),
    (tidewell, "_create_response", ARGUMENT, "f()", {}),
    (tidewell, "_create_response", COLLABORATOR, "f(STATUS_MODEL)", {"SyncStatusReadV1": boom}),
    (tidewell, "start_tidewell", SUCCESS, "f()", {}),
    (tidewell, "start_tidewell", ARGUMENT, "f(1)", {}),
    (tidewell, "start_tidewell", COLLABORATOR, "f()",
     {"crud_sync_status": store_with(sync_status_store, update_status=boom)}),
    (tidewell, "stop_tidewell", SUCCESS, "f()", {"tidewell": service_module(running=True)}),
    (tidewell, "stop_tidewell", ARGUMENT, "f(1)", {}),
    (tidewell, "stop_tidewell", COLLABORATOR, "f()",
     {"tidewell": service_module(running=True), "crud_sync_status": store_with(sync_status_store, get_status=boom)}),
    (tidewell, "get_sync_status", SUCCESS, "f()", {}),
    (tidewell, "get_sync_status", ARGUMENT, "f(1)", {}),
    (tidewell, "get_sync_status", COLLABORATOR, "f()",
     {"crud_sync_status": store_with(sync_status_store, get_status=boom)}),
    (tidewell, "get_sync_errors", SUCCESS, "f(5, 0, viewed=False)", {}),
    (tidewell, "get_sync_errors", ARGUMENT, "f(viewed=0)", {}),
    (tidewell, "get_sync_errors", COLLABORATOR, "f()",
     {"crud_sync_status": store_with(sync_status_store, read_sync_status_errors=boom)}),
    (tidewell, "set_sync_status_error_viewed", SUCCESS, "f(1, True)", {}),
    (tidewell, "set_sync_status_error_viewed", ARGUMENT, "f('1', True)", {}),
    (tidewell, "set_sync_status_error_viewed", COLLABORATOR, "f(1, True)",
     {"crud_sync_status": store_with(sync_status_store, set_sync_status_error_viewed=boom)}),
    (tidewell, "mark_all_sync_status_errors_viewed", SUCCESS, "f()", {}),
    (tidewell, "mark_all_sync_status_errors_viewed", ARGUMENT, "f(1)", {}),
    (tidewell, "mark_all_sync_status_errors_viewed", COLLABORATOR, "f()",
     {"crud_sync_status": store_with(sync_status_store, mark_all_sync_status_errors_viewed=boom)}),
    (tidewell, "generate_tidewell_report", SUCCESS, "f('m')", {}),
    (tidewell, "generate_tidewell_report", ARGUMENT, "f(None)", {}),
    (tidewell, "generate_tidewell_report", COLLABORATOR, "f('m')",
     {"crud_sync_status": store_with(sync_status_store, get_status=boom)}),
    (tidewell, "get_tidewell_error_report", SUCCESS, "f('m')", {}),
    (tidewell, "get_tidewell_error_report", ARGUMENT, "f(None)", {}),
    (tidewell, "get_tidewell_error_report", COLLABORATOR, "f('m')",
     {"crud_sync_status": store_with(sync_status_store, get_status=boom)}),
    (tidewell, "report_tidewell", SUCCESS, "f('m')", {}),
    (tidewell, "report_tidewell", ARGUMENT, "f(None)", {}),
    (tidewell, "report_tidewell", COLLABORATOR, "f('m')", {"report_bug": boom}),

    (parcelry, "list_parcelry", SUCCESS, "f(1, None, True, 's', 'q', 'id', 'asc', 0, 5)", {}),
    (parcelry, "list_parcelry", ARGUMENT, "f(1, is_synchronized=1)", {}),
    (parcelry, "list_parcelry", COLLABORATOR, "f(1)", {"crud_parcelry": store_with(parcelry_store, list_parcelry=boom)}),
    (parcelry, "get_sync_item", SUCCESS, "f(1)", {}),
    (parcelry, "get_sync_item", ARGUMENT, "f('1')", {}),
    (parcelry, "get_sync_item", COLLABORATOR, "f(1)", {"crud_parcelry": store_with(parcelry_store, read_sync_item=boom)}),
    (parcelry, "reset_sync_item", SUCCESS, "f(1)", {}),
    (parcelry, "reset_sync_item", ARGUMENT, "f(None)", {}),
    (parcelry, "reset_sync_item", COLLABORATOR, "f(1)",
     {"crud_parcelry": store_with(parcelry_store, update_sync_item=boom)}),
    (parcelry, "prioritize_sync_item", SUCCESS, "f(1)", {}),
    (parcelry, "prioritize_sync_item", ARGUMENT, "f([])", {}),
    (parcelry, "prioritize_sync_item", COLLABORATOR, "f(1)",
     {"crud_parcelry": store_with(parcelry_store, update_sync_item=boom)}),
    (parcelry, "generate_sync_item_report", SUCCESS, "f(1, 'm')", {}),
    (parcelry, "generate_sync_item_report", ARGUMENT, "f(1, None)", {}),
    (parcelry, "generate_sync_item_report", COLLABORATOR, "f(1, 'm')",
     {"crud_sync_sources": SimpleNamespace(read_sync_source=boom)}),
    (parcelry, "get_sync_item_error_report", SUCCESS, "f(1, 'm')", {}),
    (parcelry, "get_sync_item_error_report", ARGUMENT, "f(1, 2)", {}),
    (parcelry, "get_sync_item_error_report", COLLABORATOR, "f(1, 'm')",
     {"crud_sync_sources": SimpleNamespace(read_sync_source=boom)}),
    (parcelry, "report_sync_item", SUCCESS, "f(1, 'm')", {}),
    (parcelry, "report_sync_item", ARGUMENT, "f('1', 'm')", {}),
    (parcelry, "report_sync_item", COLLABORATOR, "f(1, 'm')", {"report_bug": boom}),

    (keyfolio, "create_api_token", SUCCESS, "f('mine')", {}),
    (keyfolio, "create_api_token", ARGUMENT, "f(1)", {}),
    (keyfolio, "create_api_token", COLLABORATOR, "f('mine')", {"api_token_create": refused}),
    (keyfolio, "list_keyfolio", SUCCESS, "f()", {}),
    (keyfolio, "list_keyfolio", ARGUMENT, "f(1)", {}),
    (keyfolio, "list_keyfolio", COLLABORATOR, "f()", {"select": boom}),
    (keyfolio, "delete_api_token", SUCCESS, "f('b')", {}),
    (keyfolio, "delete_api_token", ARGUMENT, "f(1)", {}),
    (keyfolio, "delete_api_token", COLLABORATOR, "f('a')", {"api_token_delete": boom}),
    (keyfolio, "check_api_token", SUCCESS, "f('a')", {}),
    (keyfolio, "check_api_token", ARGUMENT, "f(1)", {}),
    (keyfolio, "check_api_token", COLLABORATOR, "f('a')", {"test_api_token": boom}),
]

# Names the call expressions use.
CALL_GLOBALS = dict(SERVICE=service_module(running=True), STATUS_MODEL=STATUS_MODEL,
                    BROKEN_SERVICE=SimpleNamespace(get_service=boom))

# The loop driven for one case: the call written out, as a caller would write it.
COROUTINE_LOOP = """
def loop(n, f):
    for _ in range(n):
        try:
            {call}.send(None)
        except StopIteration:
            pass
        except Exception:
            pass
"""

PLAIN_LOOP = """
def loop(n, f):
    for _ in range(n):
        try:
            {call}
        except Exception:
            pass
"""


def make_loop(call, coroutine):
    namespace = dict(CALL_GLOBALS)
    exec((COROUTINE_LOOP if coroutine else PLAIN_LOOP).format(call=call), namespace)
    return namespace["loop"]


def outcome(call, f, coroutine):
    """What one call gives: ("value", result) or ("error", type name, message)."""
    namespace = dict(CALL_GLOBALS, f=f)
    try:
        result = eval(call, namespace)
        if coroutine:
            try:
                yielded = result.send(None)
            except StopIteration as stop:
                return ("value", stop.value)
            raise AssertionError(f"{call} suspended on {yielded!r}")
        return ("value", result)
    except Exception as error:
        return ("error", type(error).__name__, str(error))


# ---- timing ---------------------------------------------------------------------------

def calibrate(loop, f, target):
    n = 16
    while True:
        start = time.perf_counter()
        loop(n, f)
        elapsed = time.perf_counter() - start
        if elapsed >= target / 4:
            return max(1, int(n * target / elapsed))
        n *= 4


def timed(loop, f, n):
    gc.disable()
    try:
        start = time.perf_counter()
        loop(n, f)
        return time.perf_counter() - start
    finally:
        gc.enable()


def best_of_sides(loops, functions, repeat, target):
    """Best µs per call of each side; runs alternate so that drift hits every side alike."""
    sizes = [calibrate(loop, f, target) for loop, f in zip(loops, functions)]
    best = [float("inf")] * len(loops)
    for _ in range(repeat):
        for i, (loop, f, n) in enumerate(zip(loops, functions, sizes)):
            best[i] = min(best[i], timed(loop, f, n) / n)
    return [b * 1e6 for b in best]


# Success paths awaited from a Python coroutine under a running event loop.
ASYNCIO_ROWS = [(tidewell, "get_sync_status", ()), (parcelry, "get_sync_item", (1,)), (keyfolio, "check_api_token", ("a",))]


async def awaiting(n, f, arguments):
    start = time.perf_counter()
    for _ in range(n):
        await f(*arguments)
    return time.perf_counter() - start


async def doubles_of_get_sync_item(n):
    """get_sync_item's collaborator calls and awaits, in its order, n times, with no module layer
    around them (written inline in the loop, as a Python caller's own code would make them).
    With a failing store the exit gets the error and the loop catches it, as for the function."""
    get_db_session_context, crud_parcelry = parcelry.get_db_session_context, parcelry.crud_parcelry
    model = parcelry.SyncItemReadV1
    start = time.perf_counter()
    for _ in range(n):
        try:
            session = get_db_session_context()
            db = await session.__aenter__()
            try:
                item = await crud_parcelry.read_sync_item(db, 1)
            except BaseException as error:
                await session.__aexit__(type(error), error, error.__traceback__)
                raise
            model.model_validate(item)
            await session.__aexit__(None, None, None)
        except Exception:
            pass
    return time.perf_counter() - start


async def awaiting_caught(n, f, arguments):
    start = time.perf_counter()
    for _ in range(n):
        try:
            await f(*arguments)
        except Exception:
            pass
    return time.perf_counter() - start


def best_of_loop(loop, repeat, target, *arguments):
    """Best µs per call of an async loop(n, *arguments) that returns its own elapsed time."""
    n = max(1, int(1000 * target / asyncio.run(loop(1000, *arguments))))
    gc.disable()
    try:
        return min(asyncio.run(loop(n, *arguments)) for _ in range(repeat)) / n * 1e6
    finally:
        gc.enable()


def best_under_asyncio(functions, arguments, repeat, target):
    sizes = [max(1, int(1000 * target / asyncio.run(awaiting(1000, f, arguments)))) for f in functions]
    best = [float("inf")] * len(functions)
    for _ in range(repeat):
        for i, (f, n) in enumerate(zip(functions, sizes)):
            gc.disable()
            try:
                best[i] = min(best[i], asyncio.run(awaiting(n, f, arguments)) / n)
            finally:
                gc.enable()
    return [b * 1e6 for b in best]


# ---- report -----------------------------------------------------------------------------

HEADER = (f"{'function':<46} {'path':<21} {'native µs':>9} {'CPython':>9} {'Cython':>9} "
          f"{'CPy/nat':>8} {'Cy/nat':>7}")


def row(label, path, times):
    native, python, cython = times
    return (f"{label:<46} {path:<21} {native:>9.3f} {python:>9.3f} {cython:>9.3f} "
            f"{python / native:>7.2f}x {cython / native:>6.2f}x")


def geometric_mean(values):
    product = 1.0
    for v in values:
        product *= v
    return product ** (1 / len(values))


def plot(rows, path):
    """The three columns of every row as bars: µs per call, log scale."""
    import matplotlib  # noqa: PLC0415
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # noqa: PLC0415

    fig, ax = plt.subplots(figsize=(9, max(6, 0.16 * len(rows))))
    for i, (side, colour) in enumerate(zip(SIDES, ("#1f77b4", "#ff7f0e", "#2ca02c"))):
        ax.barh([k + (i - 1) * 0.28 for k in range(len(rows))], [t[i] for _, t in rows], height=0.28,
                color=colour, label=side)
    ax.set_yticks(range(len(rows)), [label for label, _ in rows], fontsize=6)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("µs per call (shorter is faster)")
    ax.set_title("native, and the same Python run by CPython and compiled by Cython", fontsize=9)
    ax.legend(loc="lower right")
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    print("plot:", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=7, help="best of this many runs (default 7)")
    parser.add_argument("--target-ms", type=float, default=20, help="length of one run (default 20 ms)")
    parser.add_argument("--only", default="", help="only the functions whose name contains this")
    parser.add_argument("--plot", help="also draw the table as a picture into this PNG file")
    args = parser.parse_args()
    target = args.target_ms / 1000

    bind_all()
    began = time.perf_counter()
    print("µs per call, best of", args.repeat, "runs; ratios = peer / native (above 1: native faster)")
    print(HEADER)
    rows = []

    def report(label, path, times):
        rows.append((f"{label} ({path})", times))
        print(row(label, path, times), flush=True)

    for module, name, path, call, names in CASES:
        if args.only not in name:
            continue
        functions = [getattr(side, name) for side in implementations(module)]
        coroutine = not name.startswith("_")
        with rebound(module, names):
            outcomes = [outcome(call, f, coroutine) for f in functions]
            for side, other in zip(SIDES[1:], outcomes[1:]):
                # Binding errors word their messages as the module's functions do, not as def does.
                same = outcomes[0][:2] == other[:2] if path == ARGUMENT else outcomes[0] == other
                if not same:
                    sys.exit(f"{name} {path}: native {outcomes[0]!r} but {side} {other!r}")
            if (path == SUCCESS) != (outcomes[0][0] == "value") and name != "_get_service_status_safe":
                sys.exit(f"{name} {path}: unexpected outcome {outcomes[0]!r}")
            loops = [make_loop(call, coroutine) for _ in functions]
            times = best_of_sides(loops, functions, args.repeat, target)
        report(f"{module.__name__.rsplit('.', 1)[1]}.{name}", path, times)

    for module, name, arguments in ASYNCIO_ROWS:
        if args.only not in name:
            continue
        times = best_under_asyncio([getattr(side, name) for side in implementations(module)], arguments,
                                   args.repeat, target)
        report(f"{module.__name__.rsplit('.', 1)[1]}.{name}", "asyncio.run, awaited", times)

    layers = []
    if args.only in "get_sync_item":
        # What no module layer can save: the same awaited loop making only the collaborator
        # calls get_sync_item makes. A side's time less this is its module layer's own cost.
        failing = {"crud_parcelry": store_with(parcelry_store, read_sync_item=boom)}
        for path, names in ((SUCCESS, {}), (COLLABORATOR, failing)):
            with rebound(parcelry, names):
                times = [best_of_loop(awaiting_caught, args.repeat, target, side.get_sync_item, (1,))
                         for side in implementations(parcelry)]
                doubles = best_of_loop(doubles_of_get_sync_item, args.repeat, target)
            report("parcelry.get_sync_item, awaited", path, times)
            layers.append((path, [t - doubles for t in times], doubles))

    if rows:
        behind = [label for label, t in rows if t[0] > min(t[1], t[2])]
        print(f"{len(rows)} rows; geometric mean CPython/native {geometric_mean([t[1] / t[0] for _, t in rows]):.2f}x, "
              f"Cython/native {geometric_mean([t[2] / t[0] for _, t in rows]):.2f}x; native behind either on "
              f"{len(behind)} rows; {time.perf_counter() - began:.1f} s")
    for path, layer, doubles in layers:
        native, python, cython = layer
        print(f"module layer's own cost, get_sync_item awaited, {path} (whole call less its doubles alone, "
              f"{doubles:.3f} µs): native {native:.3f} µs, CPython {python:.3f} µs, Cython {cython:.3f} µs; "
              f"native / CPython {native / python:.2f}")
    if args.plot and rows:
        plot(rows, args.plot)


if __name__ == "__main__":
    main()
