"""Access to the Tidewell SQLite store (<data dir>/tidewell.db).

One engine per database file per process, its connections pooled. WAL journal: readers
never wait for the writer (the agent writes while the API reads). A session only reads
unless it asks to write (`get_db_session_context(write=True)` or a write of
`zentab_tidewell.crud`, through `begin_write`): such a transaction starts with BEGIN
IMMEDIATE, taking SQLite's write lock before it reads what it will change, so a
read-then-write never fails half way; inside one process writers queue in arrival order,
between processes on SQLite's busy timeout. Commits do not wait for the disk
(synchronous=NORMAL, WAL's usual setting): a write is lost only if the machine itself stops
right after it, never half made, and a write runs on the event loop from BEGIN to COMMIT
without leaving it, so the write lock is never held across the loop's turns. Checkpoints,
which do wait for the disk, run on a worker thread. The reads of `crud` in a session that
has not begun skip the ORM session on a per-thread reader connection (zentab_tidewell.reads).
A data directory we cannot write still serves reads: the store is then opened read-only.
"""
import asyncio
import logging
import os
import sqlite3
import threading
import weakref
from collections import OrderedDict, deque
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any, AsyncIterator, Deque, Optional, Tuple
from urllib.parse import quote

import aiosqlite
from sqlalchemy import event, func, inspect, select
from sqlalchemy.exc import OperationalError
from sqlalchemy.ext.asyncio import AsyncConnection, AsyncEngine, AsyncSession, create_async_engine

from zentab_client.settings.folders import get_data_dir, private_file
from zentab_tidewell.exceptions import StoreBusyError
from zentab_tidewell.models import Base, SyncStatus
from zentab_tidewell.seed import seed

DB_FILE_NAME = "tidewell.db"
# Writers are short; waiting this long for a lock only happens when something is really stuck.
BUSY_TIMEOUT_S = 10.0
# Sessions open at once per event loop (each holds one pooled connection and its thread), not
# counting the one that holds the loop's write lock.
MAX_SESSIONS = 8
SESSION_WAIT_S = 30.0
# Engines kept open; a process normally uses one store, tests use one per data directory.
MAX_ENGINES = 4
# Commits between two checkpoints of the WAL into the database file (SQLite's own automatic
# checkpoint would run inside a COMMIT, on the event loop, and wait for the disk).
CHECKPOINT_EVERY = 256

logger = logging.getLogger(__name__)

_WRITE_OPTION = "zentab_write"


def get_db_path() -> Path:
    """Follows ZENTAB_DATA_DIR at every call."""
    return get_data_dir() / DB_FILE_NAME


def casefold(value: Optional[str]) -> Optional[str]:
    """Registered in SQLite as zt_casefold: SQLite's own lower() only folds ASCII."""
    return None if value is None else value.casefold()


class _Store:
    def __init__(self, path: Path, engine: AsyncEngine, read_only: bool, target: str, uri: bool) -> None:
        self.path = path
        self.engine = engine
        self.read_only = read_only
        self.schema_ready = False
        self.target, self.uri = target, uri
        # zentab_tidewell.reads: one plain connection per thread, used inline on its event loop.
        self.readers: "weakref.WeakKeyDictionary[threading.Thread, sqlite3.Connection]" = weakref.WeakKeyDictionary()
        self.readers_lock = threading.Lock()
        self.commits = 0
        self.checkpointing = threading.Lock()

    def committed(self) -> None:
        """Counts a commit; every CHECKPOINT_EVERY, a checkpoint goes to a worker thread."""
        self.commits += 1
        if self.commits % CHECKPOINT_EVERY == 0:
            try:
                asyncio.get_running_loop().run_in_executor(None, self.checkpoint)
            except RuntimeError:  # no loop: a synchronous caller, checkpoint here
                self.checkpoint()

    def checkpoint(self) -> None:
        """Copies the WAL into the database file without holding up readers or writers (PASSIVE)."""
        if not self.checkpointing.acquire(blocking=False):
            return  # one is under way
        try:
            conn = self.connect()
            try:
                conn.execute("PRAGMA wal_checkpoint(PASSIVE)")
            finally:
                conn.close()
        except sqlite3.Error as err:
            logger.warning("Checkpoint of %s failed: %s", self.path, err)
        finally:
            self.checkpointing.release()

    def connect(self) -> sqlite3.Connection:
        """A driver connection as the pool's are made (opening may wait: not on the event loop)."""
        conn = sqlite3.connect(self.target, uri=self.uri, timeout=BUSY_TIMEOUT_S, isolation_level=None,
                               check_same_thread=False)
        _configure(conn, self.read_only)
        return conn

    async def dispose(self) -> None:
        with self.readers_lock:
            readers = list(self.readers.values())
            self.readers.clear()
        for reader in readers:
            reader.close()
        await self.engine.dispose()


_stores: "OrderedDict[str, _Store]" = OrderedDict()
_stores_lock = threading.Lock()


class Turns:
    """A semaphore that serves its waiters in arrival order.

    A released unit goes straight to the first waiter, so no newcomer takes it while that
    waiter waits for its turn of the loop (asyncio's Semaphore of this Python lets one, and
    sends the waiter to the back of the queue: under load a writer could wait indefinitely).
    """

    def __init__(self, units: int) -> None:
        self.free = units
        self._waiters: Deque["asyncio.Future[None]"] = deque()

    def locked(self) -> bool:
        """True when an acquire() would wait."""
        return self.free == 0 or bool(self._waiters)

    async def acquire(self) -> None:
        if not self.locked():
            self.free -= 1
            return
        turn: "asyncio.Future[None]" = asyncio.get_running_loop().create_future()
        self._waiters.append(turn)
        try:
            await turn
        except asyncio.CancelledError:
            if turn.done() and not turn.cancelled():
                self.release()  # handed to us as we were cancelled: pass it on
            else:
                try:
                    self._waiters.remove(turn)
                except ValueError:
                    pass
            raise

    def release(self) -> None:
        while self._waiters:
            turn = self._waiters.popleft()
            if not turn.done():
                turn.set_result(None)
                return
        self.free += 1


class _Gate:
    """Per event loop: a bound on open sessions, and the queue of writers."""

    def __init__(self) -> None:
        self.sessions = Turns(MAX_SESSIONS)
        self.writer = Turns(1)


_gates: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _Gate]" = weakref.WeakKeyDictionary()


def _gate() -> _Gate:
    loop = asyncio.get_running_loop()
    gate = _gates.get(loop)
    if gate is None:
        gate = _gates[loop] = _Gate()
    return gate


async def _acquire(primitive: Any, what: str) -> None:
    if not primitive.locked():
        await primitive.acquire()  # free: taken at once
        return
    # Waits in this task (wait_for would wrap the wait in a task of its own, and the holder's
    # release would take two turns of the loop to reach us): a timer cancels the wait.
    task = asyncio.current_task()
    assert task is not None
    expired = False

    def expire() -> None:
        nonlocal expired
        expired = True
        task.cancel()

    timer = asyncio.get_running_loop().call_later(SESSION_WAIT_S, expire)
    try:
        await primitive.acquire()
    except asyncio.CancelledError:
        if expired:
            raise StoreBusyError(f"Waited {SESSION_WAIT_S:g} s for {what}") from None
        raise
    finally:
        timer.cancel()


def _needs_thread(conn: sqlite3.Connection, fn: Any, args: tuple) -> bool:
    """Whether a driver call may wait (for a lock, the disk) and so must leave the event loop.

    In WAL mode a read never waits for a lock and a statement inside a transaction that
    already holds the write lock does not either; a cursor's own bookkeeping never does, nor
    does COMMIT or ROLLBACK (synchronous=NORMAL: no fsync; no automatic checkpoint). What can
    wait: BEGIN IMMEDIATE, a write outside a transaction, and opening or closing the connection.
    """
    owner = getattr(fn, "__self__", None)
    if isinstance(owner, sqlite3.Cursor):
        if getattr(fn, "__name__", "") not in ("execute", "executemany", "executescript"):
            return False
        sql = args[0].lstrip()[:6].upper() if args and isinstance(args[0], str) else ""
        if sql.startswith("BEGIN"):
            return True
        return not (sql == "SELECT" or conn.in_transaction)
    if owner is conn:
        return getattr(fn, "__name__", "") not in ("cursor", "create_function", "commit", "rollback")
    return True


def _ends_write(conn: sqlite3.Connection, fn: Any, args: tuple) -> bool:
    """Whether the call commits (the connection's commit(), or a COMMIT / END statement)."""
    if not conn.in_transaction:
        return False
    owner = getattr(fn, "__self__", None)
    if owner is conn:
        return getattr(fn, "__name__", "") == "commit"
    return isinstance(owner, sqlite3.Cursor) and bool(args) and isinstance(args[0], str) \
        and args[0].lstrip()[:6].upper().startswith(("COMMIT", "END"))


_NOT_WRITES = ("SELECT", "PRAGMA", "BEGIN", "COMMIT", "END", "ROLLBACK", "SAVEPOINT", "RELEASE")


def _starts_write(conn: sqlite3.Connection, fn: Any, args: tuple) -> bool:
    if conn.in_transaction or not isinstance(getattr(fn, "__self__", None), sqlite3.Cursor):
        return False
    if getattr(fn, "__name__", "") not in ("execute", "executemany"):
        return False
    sql = args[0].lstrip().upper() if args and isinstance(args[0], str) else ""
    return not sql.startswith(_NOT_WRITES)


class _Connection(aiosqlite.Connection):
    """aiosqlite, minus the thread round trips for calls that cannot wait.

    A status read is a handful of driver calls; each trip to the driver thread costs more
    than the read itself, and far more on a loaded machine.
    """

    store: Optional["_Store"] = None

    async def _execute(self, fn: Any, *args: Any, **kwargs: Any) -> Any:
        conn = self._connection
        if conn is not None and self._running:
            if not _needs_thread(conn, fn, args):
                if self.store is not None and _ends_write(conn, fn, args):
                    result = fn(*args, **kwargs)
                    self.store.committed()
                    return result
                return fn(*args, **kwargs)
            if _begins_immediate(conn, fn, args):
                begun, result = _begin_at_once(conn, fn, args)
                if begun:
                    return result
            if _starts_write(conn, fn, args):
                # A session that writes without begin_write: its statements must still
                # form one transaction, or a rollback would undo nothing.
                await super()._execute(conn.execute, "BEGIN IMMEDIATE")
        return await super()._execute(fn, *args, **kwargs)


async def reader_for(store: _Store) -> sqlite3.Connection:
    """The store's reader connection for this thread (autocommit: each SELECT one WAL snapshot)."""
    thread = threading.current_thread()
    reader = store.readers.get(thread)
    if reader is None:
        reader = await asyncio.get_running_loop().run_in_executor(None, store.connect)
        with store.readers_lock:
            if thread in store.readers:  # another task of this loop opened one meanwhile
                reader.close()
            else:
                store.readers[thread] = reader
            reader = store.readers[thread]
    return reader


def _configure(dbapi_connection: Any, read_only: bool) -> None:
    # Take transaction control away from the driver so BEGIN below is what really runs.
    dbapi_connection.isolation_level = None
    cursor = dbapi_connection.cursor()
    if not read_only:
        cursor.execute("PRAGMA journal_mode=WAL")
        # WAL's usual durability: a commit appends to the WAL without an fsync (a power cut may
        # lose the last commits, never leave one half made); checkpoints are ours (_Store).
        cursor.execute("PRAGMA synchronous=NORMAL")
        cursor.execute("PRAGMA wal_autocheckpoint=0")
    cursor.execute("PRAGMA foreign_keys=ON")
    cursor.close()
    dbapi_connection.create_function("zt_casefold", 1, casefold, deterministic=True)


def _begins_immediate(conn: sqlite3.Connection, fn: Any, args: tuple) -> bool:
    if conn.in_transaction or not isinstance(getattr(fn, "__self__", None), sqlite3.Cursor):
        return False
    return bool(args) and isinstance(args[0], str) and args[0].strip().upper() == "BEGIN IMMEDIATE"


def _begin_at_once(conn: sqlite3.Connection, fn: Any, args: tuple) -> Tuple[bool, Any]:
    """BEGIN IMMEDIATE on the event loop if SQLite's write lock is free, without waiting for it.

    In this process writers queue on the asyncio lock, so the write lock is normally free;
    only another process (the agent) can hold it, and then the wait goes to the thread.
    """
    conn.execute("PRAGMA busy_timeout=0")
    try:
        return True, fn(*args)
    except sqlite3.OperationalError as err:
        if _locked(err):
            return False, None
        raise
    finally:
        conn.execute(f"PRAGMA busy_timeout={int(BUSY_TIMEOUT_S * 1000)}")


def _writable(path: Path) -> bool:
    directory = path.parent
    if not os.access(directory, os.W_OK | os.X_OK):
        return False
    return not path.exists() or os.access(path, os.W_OK)


def _make_engine(path: Path) -> _Store:
    read_only = not _writable(path)
    if read_only:
        # Without write access to the folder SQLite cannot create the WAL index; if none is
        # there, nobody can be writing, so the file is read as immutable.
        immutable = "" if Path(f"{path}-shm").exists() else "&immutable=1"
        target, uri = f"file:{quote(str(path))}?mode=ro{immutable}", True
    else:
        # SQLite would create the file 0644; the WAL and its index copy the file's mode.
        private_file(path)
        target, uri = str(path), False

    async def connect() -> aiosqlite.Connection:
        conn = _Connection(lambda: sqlite3.connect(target, uri=uri, timeout=BUSY_TIMEOUT_S, isolation_level=None,
                                                   check_same_thread=False), 64)
        conn._thread.daemon = True  # an idle pooled connection must not keep the process alive
        conn.store = made
        return await conn

    engine = create_async_engine(f"sqlite+aiosqlite:///{path}", async_creator=connect, hide_parameters=True, pool_size=MAX_SESSIONS, max_overflow=-1,
                                 # Sessions end with commit or rollback; a second rollback
                                 # at check-in would only cost a round trip.
                                 pool_reset_on_return=None)

    @event.listens_for(engine.sync_engine, "connect")
    def _on_connect(dbapi_connection: Any, _record: Any) -> None:
        _configure(dbapi_connection, read_only)

    @event.listens_for(engine.sync_engine, "begin")
    def _on_begin(conn: Any) -> None:
        # Writes take the write lock before their reads. Reads run without BEGIN: each
        # statement reads one WAL snapshot and takes no lock, and a status read stays one
        # round trip to the driver thread instead of three.
        if conn.get_execution_options().get(_WRITE_OPTION) and not read_only:
            conn.exec_driver_sql("BEGIN IMMEDIATE")

    made = _Store(path, engine, read_only, target, uri)
    return made


async def _store_for(path: Path) -> _Store:
    key = str(path)
    evicted = []
    with _stores_lock:
        store = _stores.get(key)
        if store is not None and not store.read_only and not path.exists():
            evicted.append(_stores.pop(key))  # the file was removed under us: start afresh
            store = None
        if store is None:
            store = _stores[key] = _make_engine(path)
            while len(_stores) > MAX_ENGINES:
                evicted.append(_stores.popitem(last=False)[1])
        else:
            _stores.move_to_end(key)
    for old in evicted:
        await old.dispose()
    if not store.schema_ready:
        await _ensure_schema(store)
    return store


async def _ensure_schema(store: _Store) -> None:
    def ready(sync_conn: Any) -> bool:
        if not inspect(sync_conn).has_table(SyncStatus.__tablename__):
            return False
        return sync_conn.execute(select(func.count()).select_from(SyncStatus)).scalar_one() > 0

    async with store.engine.connect() as conn:
        if await conn.run_sync(ready):
            store.schema_ready = True
            return
    if store.read_only:
        store.schema_ready = True  # nothing we could add; reads report what is missing
        return
    # One transaction under the write lock, so two processes opening a new store
    # cannot both seed it.
    async with store.engine.connect() as conn:
        conn = await conn.execution_options(**{_WRITE_OPTION: True})
        async with conn.begin():
            await conn.run_sync(Base.metadata.create_all)
            rows = (await conn.execute(select(func.count()).select_from(SyncStatus))).scalar_one()
            if rows == 0:
                async with AsyncSession(bind=conn) as session:
                    seed(session)
                    await session.flush()
    store.schema_ready = True


async def begin_write(db: AsyncSession) -> None:
    """Makes the session's transaction a write transaction (BEGIN IMMEDIATE).

    Call before the first read of a read-then-write; a session that already read keeps its
    snapshot, and SQLite refuses its write if another writer came in between.
    """
    gate = db.info.get("zentab_gate")
    if gate is not None and not db.info.get("zentab_writer"):
        if not db.in_transaction() and db.info.get("zentab_slot"):
            # A session that holds no connection yet waits for the writer without a
            # connection slot, so queued writers never keep readers waiting; the one writer
            # of the loop then works as the one connection over the bound.
            db.info["zentab_slot"] = False
            gate.sessions.release()
        await _acquire(gate.writer, f"the write lock of the store {db.info.get('zentab_path')}")
        db.info["zentab_writer"] = True
    if not db.in_transaction():
        await db.connection(execution_options={_WRITE_OPTION: True})
    db.info["zentab_write_begun"] = True


def is_writing(db: AsyncSession) -> bool:
    """True once begin_write ran on the session (or it was opened with write=True)."""
    return bool(db.info.get("zentab_writer")) or bool(db.info.get("zentab_write_begun"))


def _pending(session: AsyncSession) -> bool:
    sync = session.sync_session
    return bool(sync.new or sync.deleted or sync.dirty)


def _locked(err: object) -> bool:
    """Whether the driver's error says another connection holds the lock."""
    return "database is locked" in str(err) or "database is busy" in str(err)



@asynccontextmanager
async def get_db_session_context(*, write: bool = False) -> AsyncIterator[AsyncSession]:
    """A session on the store: commits on a clean exit, rolls back and re-raises otherwise.

    Objects stay readable after the block (no expiry on commit), so callers may use the
    rows they got once the transaction is over. write=True starts with the write lock.
    """
    path = get_db_path()
    store = await _store_for(path)
    gate = _gate()
    await _acquire(gate.sessions, f"a free connection to the store {path} ({MAX_SESSIONS} in use)")
    session = AsyncSession(store.engine, expire_on_commit=False)
    session.info.update(zentab_gate=gate, zentab_path=path, zentab_store=store, zentab_slot=True)
    try:
        try:
            if write:
                await begin_write(session)
            try:
                yield session
            except BaseException:
                if session.in_transaction():
                    await session.rollback()
                raise
            if session.in_transaction() or _pending(session):
                await session.commit()
        except OperationalError as err:
            if _locked(err.orig):
                raise StoreBusyError(f"Waited {BUSY_TIMEOUT_S:g} s for the write lock of the store {path}; "
                                     "another process holds it") from err
            raise
        finally:
            if session.in_transaction():
                await session.close()
            else:
                # No transaction, so no connection to give back: closing only detaches the
                # session's objects, nothing that could wait.
                session.sync_session.close()
    finally:
        if session.info.pop("zentab_writer", False):
            gate.writer.release()
        if session.info.pop("zentab_slot", False):
            gate.sessions.release()


async def dispose_engines() -> None:
    """Closes every pooled connection (tests call this before their data directory goes away)."""
    with _stores_lock:
        stores = list(_stores.values())
        _stores.clear()
    for store in stores:
        await store.dispose()
