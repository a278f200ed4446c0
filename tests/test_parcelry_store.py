"""parcelry end to end over the embedded SQLite store and the loopback server."""
import asyncio
import sys

import pytest
from sqlalchemy import select

from zentab_api.app.schemas.sync.parcelry import SyncItemReadSummaryV1, SyncItemReadV1
from zentab_api.python_api.sync import parcelry
from zentab_tidewell.crud.parcelry import OrderDirection, SyncItemSortKey
from zentab_tidewell.db import get_db_session_context
from zentab_tidewell.exceptions import SyncItemNotFoundError
from zentab_tidewell.models import SyncItem

run = asyncio.run


async def all_rows():
    async with get_db_session_context() as db:
        return list((await db.execute(select(SyncItem))).scalars().all())


@pytest.fixture(scope="module")
def seeded(tmp_path_factory):
    """A freshly seeded store, only read by the listing tests."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("ZENTAB_DATA_DIR", str(tmp_path_factory.mktemp("parcelry")))
        yield run(all_rows())


def expected_ids(rows, source_id, *, is_synchronized=None, has_priority=None, scope_identifier=None, query=None,
                 order_by="id", order_direction="asc", offset=0, limit=100):
    picked = [r for r in rows if r.sync_source_id == source_id
              and (is_synchronized is None or r.synchronized == is_synchronized)
              and (has_priority is None or r.has_priority == has_priority)
              and (scope_identifier is None or r.scope_identifier == scope_identifier)
              and (not query or query.casefold() in r.data_identifier.casefold()
                   or query.casefold() in r.dataset_uuid.casefold())]
    column = SyncItemSortKey(order_by).value

    def key(r):
        value = getattr(r, column)
        return (value is not None, value if value is not None else 0, r.id)
    picked.sort(key=key, reverse=OrderDirection(order_direction) is OrderDirection.DESC)
    picked = picked[max(offset, 0):]
    return [r.id for r in (picked if limit < 0 else picked[:limit])]


@pytest.mark.parametrize("source_id, kwargs", [
    (1, dict(is_synchronized=False, order_by="attempts", order_direction="desc", offset=1, limit=4)),
    (1, dict(scope_identifier="notes", query="REPORT_0", order_by=SyncItemSortKey.DATA_IDENTIFIER, limit=3)),
    (1, dict(order_by="last_update", offset=2, limit=5)),
    (1, dict(order_by=SyncItemSortKey.SYNC_PRIORITY, order_direction=OrderDirection.DESC, has_priority=False)),
    (2, dict(is_synchronized=True, offset=-5, limit=-1)),
    (2, dict(limit=0)),
    (3, dict(query="%", order_direction="desc")),
    (99, {}),
])
def test_listing_filters_orders_and_pages_real_rows(seeded, source_id, kwargs):
    summaries = run(parcelry.list_parcelry(source_id, **kwargs))
    assert all(type(s) is SyncItemReadSummaryV1 for s in summaries)
    assert [s.id for s in summaries] == expected_ids(seeded, source_id, **kwargs)
    by_id = {r.id: r for r in seeded}
    for s in summaries:
        assert (s.dataIdentifier, s.attempts) == (by_id[s.id].data_identifier, by_id[s.id].attempts)


def test_listing_covers_a_nontrivial_page(seeded):
    # Guards the cases above against passing on empty results only.
    assert len(expected_ids(seeded, 1, is_synchronized=False, order_by="attempts", offset=1, limit=4)) == 4


def test_get_sync_item_reads_one_row(seeded):
    row = next(r for r in seeded if r.sync_record)
    item = run(parcelry.get_sync_item(row.id))
    assert item == SyncItemReadV1.model_validate(row)
    with pytest.raises(SyncItemNotFoundError, match="Sync item 999 not found"):
        run(parcelry.get_sync_item(999))


def test_prioritise_then_reset(data_dir):
    run(parcelry.reset_sync_item(4))
    run(parcelry.prioritize_sync_item(4.0))
    item = run(parcelry.get_sync_item(4))
    assert (item.hasPriority, item.syncPriority) == (True, sys.float_info.max)
    assert 4 in [s.id for s in run(parcelry.list_parcelry(1, has_priority=True, limit=-1))]

    run(parcelry.reset_sync_item(4))
    item = run(parcelry.get_sync_item(4))
    assert (item.attempts, item.synchronized, item.hasPriority) == (0, False, False)
    assert 4 not in [s.id for s in run(parcelry.list_parcelry(1, has_priority=True, limit=-1))]

    with pytest.raises(SyncItemNotFoundError):
        run(parcelry.prioritize_sync_item(999))


def item_of_source(source_id):
    return next(r for r in run(all_rows()) if r.sync_source_id == source_id)


def test_report_texts(data_dir):
    legacy = item_of_source(3)  # its connector is not registered, its configuration is empty
    text = run(parcelry.generate_sync_item_report(legacy.id, "Stuck {since} Monday"))
    assert text.startswith("Stuck {since} Monday\n")
    assert f"Sync item {legacy.id}\n" in text
    assert "Connector not registered on this machine." in text
    assert "Configuration:    None\n" in text
    assert "Owner:            bob\n" in text
    assert run(parcelry.get_sync_item_error_report(legacy.id, "Stuck {since} Monday")) == text

    shared = item_of_source(2)  # empty owner, no default scope
    text = run(parcelry.generate_sync_item_report(shared.id, "m"))
    assert "Owner:            N/A\n" in text and "Default scope:    N/A\n" in text
    assert "Status:           paused\n" in text
    assert "WebDAV share (webdav)" in text


def test_report_sent_to_server(logged_in):
    text = run(parcelry.get_sync_item_error_report(1, "please look"))
    assert run(parcelry.report_sync_item(1, "please look")) is None
    assert logged_in.bug_reports == [{"subject": "Sync Item BUG REPORT", "description": text}]
