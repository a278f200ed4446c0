"""The store's reads that skip the ORM session's machinery, with the ORM's results.

A session that has not started a transaction and holds no unflushed change has nothing of its
own that a fresh WAL snapshot would not show, so its reads may run on the store's reader
connection (one per thread, see `db.reader_for`) as plain sqlite3 statements, inline: a SELECT
in WAL mode never waits. The SQL is what SQLAlchemy compiles for the statement, compiled once
per statement; the rows go through the columns' own result processors (enums, UTC datetimes,
JSON, booleans) and become instances exactly as the session's loader makes them: persistent in
that session, in its identity map, their columns loaded, so they compare, change and flush as
ORM-loaded rows do, and are detached like them when the session closes.

Anything else (a session that began, holds changes, already has the row, load listeners) takes
the ORM path, with the same statement.
"""
import sqlite3
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type, TypeVar

from sqlalchemy import Select, Table, inspect
from sqlalchemy.engine import Dialect
from sqlalchemy.exc import DBAPIError
from sqlalchemy.ext.asyncio import AsyncSession
from sqlalchemy.orm import Mapper, configure_mappers
from sqlalchemy.orm.attributes import instance_state

from zentab_tidewell.db import is_writing, reader_for

T = TypeVar("T")


class _Shape:
    """One mapped class as its rows come back: column keys, processors, the primary key's place."""

    def __init__(self, model: type, dialect: Dialect) -> None:
        configure_mappers()  # as the session's first load would: instruments the attributes
        mapper: Mapper[Any] = inspect(model)
        table: Table = model.__table__  # type: ignore[attr-defined]
        props = [mapper.get_property_by_column(column) for column in table.columns]
        self.model = model
        self.mapper = mapper
        self.keys = [prop.key for prop in props]
        self.processors = [column.type._cached_result_processor(dialect, None) for column in table.columns]
        (self.pk_index,) = [i for i, column in enumerate(table.columns) if column.primary_key]
        self.manager = mapper.class_manager
        self.select_list = ", ".join(f"{table.name}.{column.name}" for column in table.columns)
        self.table_name = table.name
        pk_name = table.columns[self.pk_index].name
        self.get_sql = f"SELECT {self.select_list} \nFROM {table.name} \nWHERE {table.name}.{pk_name} = ?"


_shapes: Dict[Tuple[type, int], _Shape] = {}


def _shape(model: type, dialect: Dialect) -> _Shape:
    key = (model, id(dialect))
    shape = _shapes.get(key)
    if shape is None:
        shape = _shapes[key] = _Shape(model, dialect)
    return shape


class Compiled:
    """A select of one mapped class with named bind parameters, and its SQL for the reader."""

    def __init__(self, model: type, statement: "Select[Any]") -> None:
        self.model = model
        self.statement = statement
        self._sql: Dict[int, Tuple[str, Tuple[str, ...], Dict[str, Any]]] = {}

    def sql(self, dialect: Dialect) -> Tuple[str, Tuple[str, ...], Dict[str, Any]]:
        """SQL, its parameters' names in order, and the values of the statement's own literals."""
        found = self._sql.get(id(dialect))
        if found is None:
            compiled = self.statement.compile(dialect=dialect)
            # The rows are read by position: the columns must be the table's, in its order.
            head = f"SELECT {_shape(self.model, dialect).select_list} \nFROM "
            if not compiled.string.startswith(head):
                raise AssertionError(f"unexpected select list: {compiled.string[:200]!r}")
            found = self._sql[id(dialect)] = (compiled.string, tuple(compiled.positiontup or ()),
                                              dict(compiled.params))
        return found


def _fast(db: AsyncSession) -> Any:
    """The session's store when its reads may skip the session, else None."""
    store = db.info.get("zentab_store")
    if store is None or is_writing(db) or db.in_transaction():
        return None
    sync = db.sync_session
    if sync.new or sync.deleted or sync.dirty:
        return None
    return store


def _listened(db: AsyncSession, shape: _Shape) -> bool:
    return bool(shape.manager.dispatch.load) or bool(db.sync_session.dispatch.loaded_as_persistent)


def _rows(store: Any, conn: sqlite3.Connection, sql: str, params: Sequence[Any]) -> List[Tuple[Any, ...]]:
    try:
        return conn.execute(sql, params).fetchall()
    except sqlite3.Error as err:
        dialect = store.engine.dialect
        raise DBAPIError.instance(sql, params, err, dialect.loaded_dbapi.Error, hide_parameters=True,
                                  dialect=dialect) from err


def _load(db: AsyncSession, shape: _Shape, row: Tuple[Any, ...]) -> Any:
    """The instance the session's loader would make of row, made persistent in db."""
    sync = db.sync_session
    values = [value if process is None else process(value) for value, process in zip(row, shape.processors)]
    key = (shape.model, (values[shape.pk_index],), None)
    instance = shape.manager.new_instance()
    state = instance_state(instance)
    state.key = key
    state.identity_token = None
    state.session_id = sync.hash_key
    sync.identity_map._add_unpresent(state, key)
    state.dict.update(zip(shape.keys, values))
    return instance


async def get(db: AsyncSession, model: Type[T], ident: Any) -> Optional[T]:
    """`await db.get(model, ident)`."""
    store = _fast(db)
    if store is not None and type(ident) is int:
        shape = _shape(model, store.engine.dialect)
        if (model, (ident,), None) not in db.sync_session.identity_map and not _listened(db, shape):
            conn = await reader_for(store)
            if _fast(db) is store:  # still so after the reader was opened
                found = _rows(store, conn, shape.get_sql, (ident,))
                return _load(db, shape, found[0]) if found else None
    return await db.get(model, ident)


async def scalars(db: AsyncSession, query: Compiled, params: Dict[str, Any]) -> List[Any]:
    """`list((await db.execute(query.statement, params)).scalars().all())`."""
    store = _fast(db)
    if store is not None and not db.sync_session.identity_map:
        dialect = store.engine.dialect
        shape = _shape(query.model, dialect)
        if not _listened(db, shape):
            conn = await reader_for(store)
            if _fast(db) is store and not db.sync_session.identity_map:
                sql, names, literals = query.sql(dialect)
                found = _rows(store, conn, sql, [params[name] if name in params else literals[name]
                                                 for name in names])
                loaded: Dict[Any, Any] = {}
                result = []
                for row in found:
                    # A row met twice is one instance, as the session's identity map makes it.
                    pk = row[shape.pk_index]
                    instance = loaded.get(pk)
                    if instance is None:
                        instance = loaded[pk] = _load(db, shape, row)
                    result.append(instance)
                return result
    return list((await db.execute(query.statement, params)).scalars().all())
