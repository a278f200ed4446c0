"""Sync schemas, error types and the plain-text reports built from them."""
import asyncio
import string
from datetime import datetime, timedelta, timezone

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zentab_api.app.exceptions.admin.logs_handler import LogFileNotFoundError
from zentab_api.app.exceptions.sync.tidewell_handler import (TidewellAlreadyRunningError,
                                                             TidewellAlreadyStoppedError,
                                                             TidewellNotInstalledError)
from zentab_api.app.schemas.sync.connectors import ConnectorRead
from zentab_api.app.schemas.sync.parcelry import SyncItemReadSummaryV1, SyncItemReadV1
from zentab_api.app.schemas.sync.sync_status import SyncStatusErrors, TidewellStatus
from zentab_api.python_api.sync.utils import (REPORT_TEMPLATE_SYNC_ITEM, REPORT_TEMPLATE_TIDEWELL,
                                              format_connector_info, format_sync_record_logs,
                                              format_sync_source_errors)
from zentab_tidewell.connectors import get_sync_connectors
from zentab_tidewell.crud.parcelry import crud_parcelry
from zentab_tidewell.crud.sync_status import crud_sync_status
from zentab_tidewell.db import get_db_session_context
from zentab_tidewell.models.enums import SyncLoopStatus

TIDEWELL_FIELDS = {"message", "sync_api_service", "tidewell_service", "tidewell_status",
                   "sync_iteration_count", "last_update", "errors"}
SYNC_ITEM_FIELDS = {"message", "sync_item_id", "data_identifier", "dataset_uuid", "sync_priority",
                    "has_priority", "attempts", "status", "last_update", "sync_source_name",
                    "sync_source_connector", "sync_source_status", "sync_source_owner",
                    "sync_source_default_scope", "sync_source_config_data", "connector_info", "logs"}


@pytest.fixture
def store(tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))


def in_session(fn):
    async def main():
        async with get_db_session_context() as db:
            return await fn(db)
    return asyncio.run(main())


def test_every_loop_status_maps_to_a_tidewell_status():
    for status in SyncLoopStatus:
        assert TidewellStatus(status.value).value == status.value
    assert TidewellStatus("unavailable") is TidewellStatus.UNAVAILABLE


@pytest.mark.parametrize("template, allowed", [
    (REPORT_TEMPLATE_TIDEWELL, TIDEWELL_FIELDS),
    (REPORT_TEMPLATE_SYNC_ITEM, SYNC_ITEM_FIELDS),
])
def test_templates_use_only_the_agreed_plain_placeholders(template, allowed):
    fields = [(name, spec, conv) for _, name, spec, conv in string.Formatter().parse(template) if name is not None]
    assert {name for name, _, _ in fields} <= allowed
    assert all(not spec and conv is None for _, spec, conv in fields)  # values arrive as strings too
    filled = template.format(**{name: "{x}" for name in allowed})
    assert "{x}" in filled


def test_item_schemas_read_store_rows(store):
    row = in_session(lambda db: crud_parcelry.update_sync_item(db, 2, has_priority=True))
    full = SyncItemReadV1.model_validate(row)
    assert (full.dataIdentifier, full.datasetUUID, full.syncPriority, full.hasPriority, full.sync_source_id) == \
        (row.data_identifier, row.dataset_uuid, row.sync_priority, True, row.sync_source_id)
    assert list(full.model_dump()) == ["id", "sync_source_id", "dataIdentifier", "datasetUUID", "scope_identifier",
                                       "syncPriority", "hasPriority", "attempts", "synchronized", "status",
                                       "last_update", "sync_record"]
    summary = SyncItemReadSummaryV1.model_validate(row)
    assert summary.model_dump() == {k: v for k, v in full.model_dump().items() if k in SyncItemReadSummaryV1.model_fields}


@pytest.mark.parametrize("name", sorted(get_sync_connectors()))
def test_connector_entries_validate(name):
    entry = get_sync_connectors()[name]
    read = ConnectorRead.model_validate(entry)
    assert read.name == name
    assert format_connector_info(read).splitlines()[0].startswith(read.display_name)


def test_errors_render_one_line_each_newest_first(store):
    in_session(lambda db: crud_sync_status.record_error(db, "two\nlines {and braces}"))
    rows = in_session(lambda db: crud_sync_status.read_sync_status_errors(db, 0, 3))
    text = format_sync_source_errors([SyncStatusErrors.model_validate(r) for r in rows])
    lines = text.splitlines()
    assert len(lines) == 3
    assert lines[0].endswith("two lines {and braces}") and f"#{rows[0].id}" in lines[0] and "new" in lines[0]
    assert format_sync_source_errors(rows) == text  # store rows are accepted as they are


@pytest.mark.parametrize("errors", [None, [], ()])
def test_no_errors(errors):
    assert format_sync_source_errors(errors) == "No errors recorded."


def test_error_times_are_shown_in_utc():
    local = timezone(timedelta(hours=2))
    err = SyncStatusErrors(id=3, message="m", created_at=datetime(2024, 1, 1, 12, 0, tzinfo=local), viewed=True)
    assert format_sync_source_errors([err]).startswith("2024-01-01 10:00:00 UTC  #3  [viewed]")


@pytest.mark.parametrize("record, expected", [
    (None, "No sync record."),
    ({}, "The sync record holds no log lines."),
    ({"logs": []}, "The sync record holds no log lines."),
    ({"logs": ["a {b}", "c"]}, "a {b}\nc"),
])
def test_sync_record_logs(record, expected):
    assert format_sync_record_logs(record) == expected


def test_unregistered_connector():
    assert "not registered" in format_connector_info(None)


@given(st.lists(st.text(), max_size=5))
def test_error_messages_never_break_the_one_line_rule(messages):
    errs = [SyncStatusErrors(id=i, message=m, created_at=datetime(2024, 1, 1), viewed=False)
            for i, m in enumerate(messages)]
    text = format_sync_source_errors(errs)
    assert len(text.splitlines()) == (len(messages) or 1)


@pytest.mark.parametrize("cls", [TidewellNotInstalledError, TidewellAlreadyRunningError,
                                 TidewellAlreadyStoppedError, LogFileNotFoundError])
def test_errors_carry_one_message(cls):
    err = cls("Service is {odd}")
    assert str(err) == "Service is {odd}" and err.args == ("Service is {odd}",)
