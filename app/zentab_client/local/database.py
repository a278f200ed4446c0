"""Synchronous SQLAlchemy access to the client's SQLite file in the data directory."""
from __future__ import annotations

import threading
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator

from sqlalchemy import Engine, create_engine, event
from sqlalchemy.orm import Session, sessionmaker

from zentab_client.local.model import Base
from zentab_client.settings.folders import get_data_dir, private_file

DB_FILE_NAME = "client.db"
# Several processes (the app, its services) may touch the file at once.
BUSY_TIMEOUT_S = 5.0

_lock = threading.Lock()
_factories: Dict[Path, "sessionmaker[Session]"] = {}
_engines: Dict[Path, Engine] = {}


def db_path() -> Path:
    return get_data_dir() / DB_FILE_NAME


def _set_sqlite_pragmas(dbapi_conn, _record) -> None:  # type: ignore[no-untyped-def]
    cur = dbapi_conn.cursor()
    cur.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT_S * 1000)}")
    cur.close()


def _session_factory() -> "sessionmaker[Session]":
    # Keyed by path because the data directory can change between calls (tests do that).
    path = db_path().resolve()
    with _lock:
        factory = _factories.get(path)
        if factory is None:
            # SQLite would create the file (and its journal, which copies the file's mode)
            # with 0644; the file holds API tokens.
            private_file(path)
            # hide_parameters: bound values are API tokens; errors must not quote them.
            engine = create_engine(f"sqlite:///{path}", hide_parameters=True)
            event.listen(engine, "connect", _set_sqlite_pragmas)
            Base.metadata.create_all(engine)
            # expire_on_commit=False: callers use returned rows after the block ends.
            factory = sessionmaker(engine, expire_on_commit=False)
            _engines[path] = engine
            _factories[path] = factory
        return factory


@contextmanager
def get_db_session_context() -> Iterator[Session]:
    """A session on <data dir>/client.db: commits on clean exit, rolls back and re-raises on error."""
    session = _session_factory()()
    try:
        yield session
        session.commit()
    except BaseException:
        session.rollback()
        raise
    finally:
        session.close()


def dispose_engines() -> None:
    """Close every cached engine (tests call this when their data directory goes away)."""
    with _lock:
        engines = list(_engines.values())
        _engines.clear()
        _factories.clear()
    for engine in engines:
        engine.dispose()
