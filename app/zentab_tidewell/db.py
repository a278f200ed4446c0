"""Access to the Tidewell SQLite store (<data dir>/tidewell.db)."""
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any, AsyncIterator, Optional, Set

from sqlalchemy import event, func, select
from sqlalchemy.ext.asyncio import AsyncEngine, AsyncSession, create_async_engine
from sqlalchemy.pool import NullPool

from zentab_client.settings.folders import get_data_dir
from zentab_tidewell.models import Base, SyncStatus
from zentab_tidewell.seed import seed

DB_FILE_NAME = "tidewell.db"
# Writers are short; waiting this long for a lock only happens when something is really stuck.
BUSY_TIMEOUT_S = 30.0

# Database files this process has already created or checked the schema of.
_schema_ready: Set[str] = set()


def get_db_path() -> Path:
    """Follows ZENTAB_DATA_DIR at every call."""
    return get_data_dir() / DB_FILE_NAME


def casefold(value: Optional[str]) -> Optional[str]:
    """Registered in SQLite as zt_casefold: SQLite's own lower() only folds ASCII."""
    return None if value is None else value.casefold()


def _make_engine(path: Path) -> AsyncEngine:
    # NullPool: a connection never outlives the session that opened it, so nothing is
    # carried over between event loops (callers run asyncio.run() many times).
    engine = create_async_engine(f"sqlite+aiosqlite:///{path}", poolclass=NullPool,
                                 connect_args={"timeout": BUSY_TIMEOUT_S})

    @event.listens_for(engine.sync_engine, "connect")
    def _on_connect(dbapi_connection: Any, _record: Any) -> None:
        # Take transaction control away from the driver so BEGIN below is what really runs.
        dbapi_connection.isolation_level = None
        cursor = dbapi_connection.cursor()
        cursor.execute("PRAGMA journal_mode=WAL")  # agent writes while the API reads
        cursor.execute("PRAGMA foreign_keys=ON")
        cursor.close()
        dbapi_connection.create_function("zt_casefold", 1, casefold, deterministic=True)

    @event.listens_for(engine.sync_engine, "begin")
    def _on_begin(conn: Any) -> None:
        # IMMEDIATE takes the write lock up front: the agent and the API both do
        # read-then-write transactions, and a deferred upgrade fails without waiting.
        conn.exec_driver_sql("BEGIN IMMEDIATE")

    return engine


async def _ensure_schema(engine: AsyncEngine, path: Path) -> None:
    key = str(path)
    if key in _schema_ready and path.exists():
        return
    # One transaction under the write lock, so two processes opening a new store
    # cannot both seed it.
    async with engine.begin() as conn:
        await conn.run_sync(Base.metadata.create_all)
        rows = (await conn.execute(select(func.count()).select_from(SyncStatus))).scalar_one()
        if rows == 0:
            async with AsyncSession(bind=conn) as session:
                seed(session)
                await session.flush()
    _schema_ready.add(key)


@asynccontextmanager
async def get_db_session_context() -> AsyncIterator[AsyncSession]:
    """A session on the store: commits on a clean exit, rolls back and re-raises otherwise.

    Objects stay readable after the block (no expiry on commit), so callers may use the
    rows they got once the transaction is over.
    """
    path = get_db_path()
    engine = _make_engine(path)
    try:
        await _ensure_schema(engine, path)
        async with AsyncSession(engine, expire_on_commit=False) as session:
            try:
                yield session
            except BaseException:
                await session.rollback()
                raise
            await session.commit()
    finally:
        await engine.dispose()
