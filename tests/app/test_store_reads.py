"""The store's reads on the reader connection against the ORM session's reads of the same file.

A session that already began a transaction reads through the ORM (`await db.connection()`
begins one without a statement), so the same calls on the same database give both paths.
"""
import asyncio
import sqlite3
import sys
import threading
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sqlalchemy import delete, inspect
from sqlalchemy.exc import InvalidRequestError, OperationalError

from zentab_tidewell import db as store_db
from zentab_tidewell.crud.parcelry import OrderDirection, SyncItemSortKey, crud_parcelry
from zentab_tidewell.crud.sync_sources import crud_sync_sources
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import dispose_engines, get_db_path, get_db_session_context
from zentab_tidewell.exceptions import SyncItemNotFoundError
from zentab_tidewell.models import SyncItem, SyncSource, SyncStatus, SyncStatusError
from zentab_tidewell.models.enums import SyncItemStatus, SyncLoopStatus


def columns(obj):
    """Every column attribute with its value's type: an int where a bool was would show."""
    return {attr.key: (type(getattr(obj, attr.key)), getattr(obj, attr.key))
            for attr in inspect(type(obj)).column_attrs}


def read_both(call):
    """call(db) through the reader, then through the ORM, each in its own session.

    Returns both results as seen inside their session (columns, persistence, membership) and
    after it (still readable, detached).
    """
    async def one(orm):
        async with get_db_session_context() as db:
            if orm:
                await db.connection()
            result = await call(db)
            rows = result if isinstance(result, list) else [result]
            inside = [(type(r), columns(r), inspect(r).persistent, r in db) for r in rows]
            assert store_db.is_writing(db) is False
        after = [(columns(r), inspect(r).detached) for r in rows]
        return inside, after

    async def main():
        return await one(False), await one(True)
    return asyncio.run(main())


@pytest.fixture
def store(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    yield tmp_path
    asyncio.run(dispose_engines())


@pytest.fixture(scope="module")
def drawn_store(tmp_path_factory):
    """A seeded store to which the tests below add drawn rows; engines closed at the end."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZENTAB_DATA_DIR", str(tmp_path_factory.mktemp("reads")))
        asyncio.run(_touch())
        yield
        asyncio.run(dispose_engines())


async def _touch():
    async with get_db_session_context() as db:
        await crud_sync_status.get_status(db)


texts = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)
moments = st.one_of(st.none(), st.datetimes(min_value=datetime(1990, 1, 1), max_value=datetime(2090, 1, 1),
                                            timezones=st.just(timezone.utc)))
items = st.builds(
    dict,
    sync_source_id=st.sampled_from([1, 2, 3]),
    data_identifier=st.one_of(texts, st.sampled_from(["Über/ÄRGER_50%.csv", "a_b", "MiXeD"])),
    dataset_uuid=texts,
    scope_identifier=st.sampled_from(["notes", "photos", "odd"]),
    sync_priority=st.one_of(st.floats(allow_nan=False), st.just(sys.float_info.max)),
    has_priority=st.booleans(),
    attempts=st.integers(0, 6),
    synchronized=st.booleans(),
    status=st.sampled_from(list(SyncItemStatus)),
    last_update=moments,
    sync_record=st.one_of(st.none(), st.fixed_dictionaries({"logs": st.lists(texts, max_size=3)})),
)
errors = st.builds(dict, message=texts, viewed=st.booleans(),
                   created_at=st.sampled_from([datetime(2024, 5, 1, tzinfo=timezone.utc) + timedelta(seconds=s)
                                               for s in (0, 0, 1, 3600)]))


def add_rows(new_items, new_errors):
    async def main():
        async with get_db_session_context(write=True) as db:
            db.add_all([SyncItem(**fields) for fields in new_items])
            db.add_all([SyncStatusError(**fields) for fields in new_errors])
    asyncio.run(main())


listing_kwargs = st.fixed_dictionaries({}, optional={
    "source_id": st.sampled_from([1, 2, 3, 99]),
    "is_synchronized": st.booleans(),
    "has_priority": st.booleans(),
    "scope_identifier": st.sampled_from(["notes", "photos", "odd", "nope"]),
    "order_by": st.sampled_from([None, *SyncItemSortKey]),
    "order_direction": st.sampled_from([None, *OrderDirection]),
    "offset": st.one_of(st.none(), st.integers(-3, 40)),
    "limit": st.one_of(st.none(), st.integers(-2, 40)),
    "query": st.one_of(st.none(), texts, st.sampled_from(["äRGER_5", "%", "_b", "mixed"])),
})


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(new_items=st.lists(items, max_size=4), new_errors=st.lists(errors, max_size=2), kwargs=listing_kwargs,
       error_page=st.tuples(st.integers(-2, 12), st.one_of(st.none(), st.integers(-2, 12)),
                            st.one_of(st.none(), st.booleans())),
       item_id=st.integers(-1, 60))
def test_reads_match_the_orm_on_drawn_rows(drawn_store, new_items, new_errors, kwargs, error_page, item_id):
    add_rows(new_items, new_errors)
    fast, orm = read_both(lambda db: crud_parcelry.list_parcelry(db, **kwargs))
    assert fast == orm
    skip, limit, viewed = error_page
    fast, orm = read_both(lambda db: crud_sync_status.read_sync_status_errors(db, skip, limit, viewed))
    assert fast == orm
    for call in (crud_sync_sources.list_sync_sources, crud_sync_status.get_status):
        fast, orm = read_both(call)
        assert fast == orm

    async def item_or_error(db, orm):
        if orm:
            await db.connection()
        try:
            return columns(await crud_parcelry.read_sync_item(db, item_id))
        except SyncItemNotFoundError as err:
            return type(err), str(err)

    async def both():
        results = []
        for orm in (False, True):
            async with get_db_session_context() as db:
                results.append(await item_or_error(db, orm))
        return results
    fast, orm = asyncio.run(both())
    assert fast == orm


def test_the_drawn_rows_reach_every_column_kind(drawn_store):
    # Guards the comparison above against passing on rows that are all alike.
    async def main():
        async with get_db_session_context() as db:
            return await crud_parcelry.list_parcelry(db)
    rows = asyncio.run(main())
    assert {r.last_update is None for r in rows} == {True, False}
    assert {r.sync_record is None for r in rows} == {True, False}
    assert len({r.status for r in rows}) > 1


def test_one_session_gives_one_instance_per_row_on_both_paths(store):
    async def main():
        async with get_db_session_context() as db:
            first = await crud_parcelry.read_sync_item(db, 2)
            listed = await crud_parcelry.list_parcelry(db, source_id=first.sync_source_id)
            again = await crud_parcelry.read_sync_item(db, 2)
            source = await crud_sync_sources.read_sync_source(db, first.sync_source_id)
            sources = await crud_sync_sources.list_sync_sources(db)
        return first, listed, again, source, sources
    first, listed, again, source, sources = asyncio.run(main())
    assert again is first and first in listed
    assert source in sources


@pytest.mark.parametrize("change", ["modify", "add", "delete"])
def test_a_session_with_unflushed_changes_reads_them(store, change):
    async def main():
        async with get_db_session_context() as db:
            item = await crud_parcelry.read_sync_item(db, 1)
            if change == "modify":
                item.attempts = 99
            elif change == "add":
                db.add(SyncItem(sync_source_id=item.sync_source_id, data_identifier="new", dataset_uuid="u",
                                scope_identifier="notes", attempts=99))
            else:
                await db.delete(item)
            listed = await crud_parcelry.list_parcelry(db, source_id=item.sync_source_id, order_by="attempts",
                                                       order_direction="desc")
            seen = [(i.id, i.attempts) for i in listed]
            item_id = item.id
            await db.rollback()
            return item_id, seen
    item_id, listed = asyncio.run(main())
    if change == "delete":
        assert item_id not in [i for i, _ in listed]
    else:
        assert listed[0][1] == 99


def test_changes_to_a_read_row_are_committed_and_an_error_discards_them(store):
    async def change(attempts, fail):
        async with get_db_session_context() as db:
            item = await crud_parcelry.read_sync_item(db, 3)
            item.attempts = attempts
            if fail:
                raise KeyError("boom")

    async def attempts():
        async with get_db_session_context() as db:
            return (await crud_parcelry.read_sync_item(db, 3)).attempts

    asyncio.run(change(41, False))
    with pytest.raises(KeyError):
        asyncio.run(change(42, True))
    assert asyncio.run(attempts()) == 41


def test_unloaded_relationships_raise_as_on_orm_rows(store):
    async def main(orm):
        async with get_db_session_context() as db:
            if orm:
                await db.connection()
            item = await crud_parcelry.read_sync_item(db, 1)
            with pytest.raises(InvalidRequestError) as raised:
                item.source  # noqa: B018
            return str(raised.value)
    assert asyncio.run(main(False)) == asyncio.run(main(True))


def test_a_missing_table_is_the_same_error_on_both_paths(store):
    asyncio.run(_touch())
    with sqlite3.connect(get_db_path()) as conn:
        conn.execute("DROP TABLE sync_status_errors")

    async def main(orm):
        async with get_db_session_context() as db:
            if orm:
                await db.connection()
            with pytest.raises(OperationalError) as raised:
                await crud_sync_status.read_sync_status_errors(db, 0, 10)
            return type(raised.value.orig), str(raised.value.orig)
    assert asyncio.run(main(False)) == asyncio.run(main(True)) == (sqlite3.OperationalError,
                                                                   "no such table: sync_status_errors")


def test_reads_see_what_other_sessions_committed_and_not_what_they_hold(store):
    async def main():
        async with get_db_session_context(write=True) as writer:
            status = await crud_sync_status.get_status(writer)
            status.sync_iteration_count = 7
            await writer.flush()
            async with get_db_session_context() as reader:
                during = (await crud_sync_status.get_status(reader)).sync_iteration_count
        async with get_db_session_context() as reader:
            after = (await crud_sync_status.get_status(reader)).sync_iteration_count
        return during, after
    assert asyncio.run(main()) == (0, 7)


def test_a_missing_status_row_is_created_by_a_read(store):
    async def drop():
        async with get_db_session_context(write=True) as db:
            await db.execute(delete(SyncStatus))

    async def read():
        async with get_db_session_context() as db:
            return await crud_sync_status.get_status(db)
    asyncio.run(drop())
    row = asyncio.run(read())
    assert (row.status, row.sync_iteration_count, row.last_update) == (SyncLoopStatus.STOPPED, 0, None)
    assert asyncio.run(read()).id == 1


def test_each_thread_reads_on_its_own_connection_and_dispose_closes_them(store):
    async def read():
        async with get_db_session_context() as db:
            return (await crud_sync_sources.read_sync_source(db, 1)).name

    expected = asyncio.run(read())
    names = []
    for _ in range(3):  # one loop after another: the engine's pool is not shared by loops at once
        thread = threading.Thread(target=lambda: names.append(asyncio.run(read())))
        thread.start()
        thread.join()
    assert names == [expected] * 3
    readers = [r for s in store_db._stores.values() for r in s.readers.values()]
    assert len(readers) >= 1
    asyncio.run(dispose_engines())
    for reader in readers:
        with pytest.raises(sqlite3.ProgrammingError):
            reader.execute("SELECT 1")
    assert asyncio.run(read()) == expected  # opens anew


async def hold_write_lock(held, hold):
    """Takes the store's write lock, says so, and keeps it until told."""
    async with get_db_session_context(write=True):
        held.set()
        await hold.wait()


def test_queued_writers_leave_the_connection_slots_to_readers(store):
    async def read_status():
        async with get_db_session_context() as db:
            return (await crud_sync_status.get_status(db)).status

    async def main():
        hold, held = asyncio.Event(), asyncio.Event()

        async def writer(n):
            async with get_db_session_context() as db:
                await crud_parcelry.update_sync_item(db, 1, attempts=n)

        first = asyncio.create_task(hold_write_lock(held, hold))
        await held.wait()
        queued = [asyncio.create_task(writer(n)) for n in range(2 * store_db.MAX_SESSIONS)]
        await asyncio.sleep(0.05)
        # With the writers holding the slots, this would wait SESSION_WAIT_S and fail.
        status = await asyncio.wait_for(read_status(), 5)
        hold.set()
        await asyncio.gather(first, *queued)
        gate = store_db._gate()
        return status, gate.sessions.free, gate.writer.locked()

    asyncio.run(_touch())
    assert asyncio.run(main()) == (SyncLoopStatus.STOPPED, store_db.MAX_SESSIONS, False)


def test_a_write_waits_off_the_loop_for_a_lock_another_connection_holds(store):
    asyncio.run(_touch())
    holder = sqlite3.connect(get_db_path(), isolation_level=None, check_same_thread=False)

    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.01)

        async def write(status):
            async with get_db_session_context() as db:
                await crud_sync_status.update_status(db, status)

        await write("paused")  # the lock is free: taken at once
        holder.execute("BEGIN IMMEDIATE")
        ticking = asyncio.create_task(ticker())
        asyncio.get_running_loop().call_later(0.3, holder.execute, "COMMIT")
        await write("running")  # waits for the holder on the driver's thread, the loop runs on
        ticking.cancel()
        async with get_db_session_context() as db:
            return ticks, (await crud_sync_status.get_status(db)).status

    try:
        ticks, status = asyncio.run(main())
    finally:
        holder.close()
    assert status is SyncLoopStatus.RUNNING and ticks >= 10


@pytest.mark.parametrize("ending", ["timeout", "cancelled"])
def test_a_wait_for_the_write_lock_ends_in_store_busy_or_cancellation(store, monkeypatch, ending):
    from zentab_tidewell.exceptions import StoreBusyError
    monkeypatch.setattr(store_db, "SESSION_WAIT_S", 0.2)

    async def main():
        hold, held = asyncio.Event(), asyncio.Event()

        async def second_writer():
            async with get_db_session_context(write=True) as db:
                await crud_sync_status.update_status(db, "paused")

        first = asyncio.create_task(hold_write_lock(held, hold))
        await held.wait()
        waiting = asyncio.create_task(second_writer())
        if ending == "cancelled":
            await asyncio.sleep(0.05)
            waiting.cancel()
        outcome = (await asyncio.gather(waiting, return_exceptions=True))[0]
        hold.set()
        await first
        await second_writer()  # the lock and the slots are free again
        gate = store_db._gate()
        return outcome, gate.sessions.free, gate.writer.locked()

    asyncio.run(_touch())
    outcome, free, locked = asyncio.run(main())
    assert (free, locked) == (store_db.MAX_SESSIONS, False)
    if ending == "timeout":
        assert type(outcome) is StoreBusyError and "Waited 0.2 s for the write lock" in str(outcome)
    else:
        assert type(outcome) is asyncio.CancelledError


def test_a_write_holds_the_write_lock_for_no_turn_of_the_loop(store):
    """From BEGIN IMMEDIATE to COMMIT a write never yields: readers cannot keep it waiting."""
    async def write(n):
        async with get_db_session_context() as db:
            await crud_parcelry.update_sync_item(db, 1, has_priority=bool(n), attempts=n)

    async def main():
        await write(0)  # a pooled connection, the schema checked
        for n in range(1, 4):
            step = write(n)
            with pytest.raises(StopIteration):  # done in its first step, nothing awaited
                step.send(None)
        async with get_db_session_context() as db:
            return (await crud_parcelry.read_sync_item(db, 1)).attempts

    assert asyncio.run(main()) == 3


@pytest.mark.parametrize("units", [1, store_db.MAX_SESSIONS])
def test_a_released_turn_goes_to_the_first_waiter_not_to_a_newcomer(units):
    """A busy loop runs other tasks between a release and the waiter's wake-up; none may barge in."""
    async def main():
        turns = store_db.Turns(units)
        for _ in range(units):
            await turns.acquire()
        order = []

        async def take(name):
            await turns.acquire()
            order.append(name)

        waiters = [asyncio.create_task(take(f"waiter {i}")) for i in range(3)]
        await asyncio.sleep(0)  # all three queue
        cancelled = waiters.pop(1)
        cancelled.cancel()
        await asyncio.sleep(0)
        turns.release()  # to waiter 0
        newcomer = take("newcomer")
        pending = newcomer.send(None)  # runs at once, as another task of a busy loop would: it must queue
        assert not pending.done()
        await asyncio.sleep(0)
        turns.release()  # to waiter 2: waiter 1 was cancelled
        await asyncio.gather(*waiters)
        assert not pending.done()
        turns.release()
        assert pending.done()
        with pytest.raises(StopIteration):
            newcomer.send(None)
        return order, cancelled.cancelled()

    assert asyncio.run(main()) == (["waiter 0", "waiter 2", "newcomer"], True)
