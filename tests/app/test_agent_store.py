"""The Tidewell store against a real SQLite file in a temporary data directory."""
import asyncio
import sys
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sqlalchemy import delete, select

from zentab_tidewell.connectors import get_sync_connectors
from zentab_tidewell.crud.parcelry import OrderDirection, SyncItemSortKey, crud_parcelry
from zentab_tidewell.crud.sync_sources import crud_sync_sources
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import get_db_path, get_db_session_context
from zentab_tidewell.exceptions import (SyncItemNotFoundError, SyncSourceNotFoundError,
                                        SyncStatusErrorRecordNotFoundError)
from zentab_tidewell.models import SyncItem, SyncStatus, SyncStatusError
from zentab_tidewell.models.enums import SyncItemStatus, SyncLoopStatus


def in_session(fn):
    """Runs fn(db) in its own event loop and session, like the native callers do."""
    async def main():
        async with get_db_session_context() as db:
            return await fn(db)
    return asyncio.run(main())


@pytest.fixture
def store(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    return tmp_path


# Identifiers that trip naive matching: LIKE wildcards, mixed and non-ASCII case.
ODD_IDENTIFIERS = ["Über/ÄRGER_50%.csv", "under_score/a_b.txt", "percent/100%done", "MiXeD/CaSe.Bin"]


@pytest.fixture(scope="module")
def listing_store(tmp_path_factory):
    """A seeded store plus a few awkward items, shared by the listing tests (read-only)."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZENTAB_DATA_DIR", str(tmp_path_factory.mktemp("listing")))

        async def add_odd(db):
            for n, ident in enumerate(ODD_IDENTIFIERS):
                db.add(SyncItem(sync_source_id=1 + n % 2, data_identifier=ident,
                                dataset_uuid=f"ABCDEF{n}-odd", scope_identifier="odd",
                                sync_priority=1.5, attempts=n % 3, has_priority=False,
                                synchronized=bool(n % 2),
                                last_update=datetime(2024, 1, 1, tzinfo=timezone.utc) if n else None))
            return list((await db.execute(select(SyncItem))).scalars().all())

        rows = in_session(add_odd)
        yield rows


def test_seed_gives_the_variety_the_views_rely_on(store):
    async def read(db):
        sources = await crud_sync_sources.list_sync_sources(db)
        items = await crud_parcelry.list_parcelry(db)
        errors = await crud_sync_status.read_sync_status_errors(db, 0, None)
        return sources, items, errors, await crud_sync_status.get_status(db)

    sources, items, errors, status = in_session(read)
    registered = get_sync_connectors()
    assert any(s.connector not in registered for s in sources)
    assert any(not s.owner and s.default_scope is None for s in sources)
    assert any(s.config_data is None for s in sources)
    assert len(items) >= 24 and {i.sync_source_id for i in items} == {s.id for s in sources}
    for flag in ("synchronized", "has_priority"):
        assert {getattr(i, flag) for i in items} == {True, False}
    assert all(i.sync_priority == sys.float_info.max for i in items if i.has_priority)
    assert {e.viewed for e in errors} == {True, False}
    assert (status.status, status.sync_iteration_count, status.last_update) == (SyncLoopStatus.STOPPED, 0, None)


def _reference(rows, source_id=None, is_synchronized=None, has_priority=None, scope_identifier=None,
               order_by=None, order_direction=None, offset=None, limit=None, query=None):
    picked = [r for r in rows
              if (source_id is None or r.sync_source_id == source_id)
              and (is_synchronized is None or r.synchronized == is_synchronized)
              and (has_priority is None or r.has_priority == has_priority)
              and (scope_identifier is None or r.scope_identifier == scope_identifier)
              and (not query or query.casefold() in r.data_identifier.casefold()
                   or query.casefold() in r.dataset_uuid.casefold())]
    key = SyncItemSortKey(order_by or "id").value

    def sort_key(r):
        value = getattr(r, key)
        return (value is not None, value, r.id)  # SQLite: NULL sorts lowest

    picked.sort(key=sort_key, reverse=OrderDirection(order_direction or "asc") is OrderDirection.DESC)
    start = max(offset or 0, 0)
    stop = None if limit is None or limit < 0 else start + limit
    return [r.id for r in picked[start:stop]]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_list_parcelry_matches_a_plain_python_filter_sort_and_slice(listing_store, data):
    rows = listing_store
    words = [r.data_identifier for r in rows] + [r.dataset_uuid for r in rows]
    substrings = st.sampled_from(words).flatmap(
        lambda w: st.tuples(st.integers(0, len(w)), st.integers(0, len(w))).map(
            lambda ij: w[min(ij):max(ij)]))
    case_changed = substrings.flatmap(lambda s: st.sampled_from([s, s.upper(), s.lower(), s.swapcase()]))
    kwargs = data.draw(st.fixed_dictionaries({
        # Always drawn: ties between equal sort values are where ordering goes wrong.
        "order_by": st.sampled_from([None, *SyncItemSortKey, *(k.value for k in SyncItemSortKey)]),
        "order_direction": st.sampled_from([None, *OrderDirection, "asc", "desc"]),
    }, optional={
        "source_id": st.sampled_from([1, 2, 3, 99]),
        "is_synchronized": st.booleans(),
        "has_priority": st.booleans(),
        "scope_identifier": st.sampled_from(sorted({r.scope_identifier for r in rows}) + ["nope"]),
        "offset": st.integers(-3, 45),
        "limit": st.integers(-2, 45),
        "query": st.one_of(case_changed, st.text(max_size=4)),
    }))
    got = in_session(lambda db: crud_parcelry.list_parcelry(db, **kwargs))
    assert [r.id for r in got] == _reference(rows, **kwargs)


@pytest.mark.parametrize("query, expected", [
    ("äRGER_5", ["Über/ÄRGER_50%.csv"]),   # non-ASCII case folding
    ("%", ["Über/ÄRGER_50%.csv", "percent/100%done"]),  # not a wildcard
    ("_b", ["under_score/a_b.txt"]),
    ("abcdef3-ODD", ["MiXeD/CaSe.Bin"]),   # matches the dataset uuid too
])
def test_query_is_a_literal_case_insensitive_substring(listing_store, query, expected):
    got = in_session(lambda db: crud_parcelry.list_parcelry(db, query=query, scope_identifier="odd"))
    assert sorted(r.data_identifier for r in got) == sorted(expected)


@pytest.mark.parametrize("offset, limit, expected_slice", [
    (-5, 3, slice(0, 3)),
    (2, -1, slice(2, None)),
    (None, None, slice(None)),
    (3, 0, slice(0, 0)),
    (10_000, 5, slice(0, 0)),
])
def test_paging_edges(listing_store, offset, limit, expected_slice):
    all_ids = sorted(r.id for r in listing_store)
    got = in_session(lambda db: crud_parcelry.list_parcelry(db, offset=offset, limit=limit))
    assert [r.id for r in got] == all_ids[expected_slice]


@pytest.mark.parametrize("kwargs", [{"order_by": "name"}, {"order_direction": "up"}])
def test_unknown_sort_options_are_rejected(listing_store, kwargs):
    with pytest.raises(ValueError):
        in_session(lambda db: crud_parcelry.list_parcelry(db, **kwargs))


@pytest.mark.parametrize("call, error, message", [
    (lambda db: crud_parcelry.read_sync_item(db, 4242), SyncItemNotFoundError, "Sync item 4242 not found"),
    (lambda db: crud_parcelry.update_sync_item(db, 4242, attempts=1), SyncItemNotFoundError,
     "Sync item 4242 not found"),
    (lambda db: crud_sync_sources.read_sync_source(db, 77), SyncSourceNotFoundError, "Sync source 77 not found"),
    (lambda db: crud_sync_status.set_sync_status_error_viewed(db, 7000, True),
     SyncStatusErrorRecordNotFoundError, "Sync status error record 7000 not found"),
])
def test_unknown_ids_raise_the_store_errors(store, call, error, message):
    with pytest.raises(error) as exc:
        in_session(call)
    assert str(exc.value) == message


@pytest.mark.parametrize("fields, expected", [
    ({"has_priority": True}, {"has_priority": True, "sync_priority": sys.float_info.max}),
    ({"has_priority": False}, {"has_priority": False, "sync_priority": 0.0}),
    ({"synchronized": True}, {"synchronized": True, "status": SyncItemStatus.SYNCHRONIZED}),
    ({"synchronized": False}, {"synchronized": False, "status": SyncItemStatus.PENDING}),
    ({"attempts": 9, "has_priority": True}, {"attempts": 9, "has_priority": True}),
])
def test_update_sync_item_is_stored(store, fields, expected):
    before = datetime.now(timezone.utc)
    in_session(lambda db: crud_parcelry.update_sync_item(db, 5, **fields))
    row = in_session(lambda db: crud_parcelry.read_sync_item(db, 5))
    assert {k: getattr(row, k) for k in expected} == expected
    assert row.last_update >= before - timedelta(seconds=1)


@pytest.mark.parametrize("fields, error", [
    ({"sync_priority": 3.0}, TypeError),
    ({"status": "failed"}, TypeError),
    ({"attempts": -1}, ValueError),
])
def test_update_sync_item_rejects_bad_fields(store, fields, error):
    with pytest.raises(error):
        in_session(lambda db: crud_parcelry.update_sync_item(db, 1, **fields))


def _replace_errors(db, entries):
    async def go():
        await db.execute(delete(SyncStatusError))
        t0 = datetime(2024, 5, 1, tzinfo=timezone.utc)
        for i, (minutes, viewed) in enumerate(entries, start=1):
            db.add(SyncStatusError(id=i, message=f"e{i}", created_at=t0 + timedelta(minutes=minutes), viewed=viewed))
        await db.flush()
    return go()


# (minutes after t0, viewed) for ids 1..6; ids 2 and 5 share a timestamp.
ERRORS = [(0, False), (10, True), (5, False), (30, True), (10, False), (20, False)]


@pytest.mark.parametrize("skip, limit, viewed, expected", [
    (0, 10, None, [4, 6, 5, 2, 3, 1]),
    (1, 2, None, [6, 5]),
    (0, 10, True, [4, 2]),
    (1, 2, False, [5, 3]),
    (-4, -1, False, [6, 5, 3, 1]),
    (0, 0, None, []),
])
def test_error_log_newest_first_with_filter_and_paging(store, skip, limit, viewed, expected):
    in_session(lambda db: _replace_errors(db, ERRORS))
    got = in_session(lambda db: crud_sync_status.read_sync_status_errors(db, skip, limit, viewed=viewed))
    assert [e.id for e in got] == expected


def test_viewed_flag_and_mark_all_counts(store):
    in_session(lambda db: _replace_errors(db, ERRORS))
    row = in_session(lambda db: crud_sync_status.set_sync_status_error_viewed(db, 1, True))
    assert (row.id, row.viewed) == (1, True)
    assert in_session(crud_sync_status.mark_all_sync_status_errors_viewed) == 3
    assert in_session(crud_sync_status.mark_all_sync_status_errors_viewed) == 0
    in_session(lambda db: crud_sync_status.set_sync_status_error_viewed(db, 4, False))
    assert in_session(crud_sync_status.mark_all_sync_status_errors_viewed) == 1
    assert in_session(lambda db: crud_sync_status.read_sync_status_errors(db, 0, 10, viewed=False)) == []


def test_recorded_error_is_newest_and_unviewed(store):
    in_session(lambda db: crud_sync_status.record_error(db, "disk {full}"))
    newest = in_session(lambda db: crud_sync_status.read_sync_status_errors(db, 0, 1))[0]
    assert (newest.message, newest.viewed) == ("disk {full}", False)
    assert newest.created_at.tzinfo is not None


def test_status_row_is_recreated_and_updated(store):
    async def drop(db):
        await db.execute(delete(SyncStatus))
    in_session(drop)
    row = in_session(crud_sync_status.get_status)
    assert (row.status, row.sync_iteration_count, row.last_update) == (SyncLoopStatus.STOPPED, 0, None)
    in_session(lambda db: crud_sync_status.update_status(db, "paused"))
    assert in_session(crud_sync_status.get_status).status is SyncLoopStatus.PAUSED
    with pytest.raises(ValueError):
        in_session(lambda db: crud_sync_status.update_status(db, "sleeping"))


def test_session_commits_on_clean_exit_and_rolls_back_on_error(store):
    async def rename(db, name, fail):
        source = await crud_sync_sources.read_sync_source(db, 1)
        source.name = name
        await db.flush()
        if fail:
            raise KeyError("boom")

    in_session(lambda db: rename(db, "kept", False))
    with pytest.raises(KeyError):
        in_session(lambda db: rename(db, "lost", True))
    assert in_session(lambda db: crud_sync_sources.read_sync_source(db, 1)).name == "kept"


def test_store_follows_the_data_dir(tmp_path, monkeypatch):
    for name in ("a", "b"):
        monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path / name))
        in_session(lambda db: crud_sync_status.update_status(db, SyncLoopStatus.RUNNING if name == "a" else "error"))
        assert get_db_path() == tmp_path / name / "tidewell.db"
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path / "a"))
    assert in_session(crud_sync_status.get_status).status is SyncLoopStatus.RUNNING

