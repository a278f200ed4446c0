"""parcelry's coroutines as plain Python; collaborators are module globals (see twins/__init__.py)."""
from twins.checks import entry, exact, expect_str, to_int


def _list_args(source_id, is_synchronized=None, has_priority=None, scope_identifier=None, query=None,
               order_by=None, order_direction=None, offset=0, limit=100):
    source_id, offset, limit = to_int("source_id", source_id), to_int("offset", offset), to_int("limit", limit)
    return (source_id, exact("is_synchronized", bool, is_synchronized, True),
            exact("has_priority", bool, has_priority, True), exact("scope_identifier", str, scope_identifier, True),
            exact("query", str, query, True), order_by, order_direction, offset, limit)


@entry(_list_args)
async def list_parcelry(source_id, is_synchronized=None, has_priority=None, scope_identifier=None, query=None,
                        order_by=None, order_direction=None, offset=0, limit=100):
    if not (type(source_id) is int and type(offset) is int and type(limit) is int
            and (is_synchronized is None or type(is_synchronized) is bool)
            and (has_priority is None or type(has_priority) is bool)
            and (scope_identifier is None or type(scope_identifier) is str)
            and (query is None or type(query) is str)):
        (source_id, is_synchronized, has_priority, scope_identifier, query, order_by, order_direction, offset,
         limit) = _list_args(source_id, is_synchronized, has_priority, scope_identifier, query, order_by,
                             order_direction, offset, limit)
    async with get_db_session_context() as db:
        items = await crud_parcelry.list_parcelry(
            db,
            source_id=source_id,
            is_synchronized=is_synchronized,
            has_priority=has_priority,
            scope_identifier=scope_identifier,
            order_by=order_by,
            order_direction=order_direction,
            offset=offset,
            limit=limit,
            query=query,
        )
        return [SyncItemReadSummaryV1.model_validate(item) for item in items]


def _item(sync_item_id):
    return (to_int("sync_item_id", sync_item_id),)


def _item_message(sync_item_id, message):
    return to_int("sync_item_id", sync_item_id), exact("message", str, message)


@entry(_item)
async def get_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id, = _item(sync_item_id)
    async with get_db_session_context() as db:
        item = await crud_parcelry.read_sync_item(db, sync_item_id)
        return SyncItemReadV1.model_validate(item)


@entry(_item)
async def reset_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id, = _item(sync_item_id)
    async with get_db_session_context() as db:
        await crud_parcelry.update_sync_item(db, sync_item_id, attempts=0, synchronized=False, has_priority=False)


@entry(_item)
async def prioritize_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id, = _item(sync_item_id)
    async with get_db_session_context() as db:
        await crud_parcelry.update_sync_item(db, sync_item_id, has_priority=True)


@entry(_item_message)
async def generate_sync_item_report(sync_item_id, message):
    if type(sync_item_id) is not int or type(message) is not str:
        sync_item_id, message = _item_message(sync_item_id, message)
    async with get_db_session_context() as db:
        item = await crud_parcelry.read_sync_item(db, sync_item_id)
        sync_source = await crud_sync_sources.read_sync_source(db, item.sync_source_id)
        connectors = get_sync_connectors()
        connector = connectors.get(sync_source.connector)
        connector_read = None
        if connector:
            connector_read = ConnectorRead.model_validate(connector)
        item_read = SyncItemReadV1.model_validate(item)
        text = REPORT_TEMPLATE_SYNC_ITEM.format(
            message=message,
            sync_item_id=item_read.id,
            data_identifier=item_read.dataIdentifier,
            dataset_uuid=item_read.datasetUUID,
            sync_priority=item_read.syncPriority,
            has_priority=item_read.hasPriority,
            attempts=item_read.attempts,
            status=item_read.status.value,
            last_update=item_read.last_update.isoformat() if item_read.last_update else "N/A",
            sync_source_name=sync_source.name,
            sync_source_connector=sync_source.connector,
            sync_source_status=sync_source.status.value if hasattr(sync_source.status, "value")
            else sync_source.status,
            sync_source_owner=sync_source.owner or "N/A",
            sync_source_default_scope=sync_source.default_scope or "N/A",
            sync_source_config_data=sync_source.config_data,
            connector_info=format_connector_info(connector_read),
            logs=format_sync_record_logs(item_read.sync_record),
        )
        return expect_str(text)


@entry(_item_message)
async def get_sync_item_error_report(sync_item_id, message):
    if type(sync_item_id) is not int or type(message) is not str:
        sync_item_id, message = _item_message(sync_item_id, message)
    report = await generate_sync_item_report(sync_item_id, message)
    return expect_str(report)


@entry(_item_message)
async def report_sync_item(sync_item_id, message):
    if type(sync_item_id) is not int or type(message) is not str:
        sync_item_id, message = _item_message(sync_item_id, message)
    report_content = await generate_sync_item_report(sync_item_id, message)
    bug_report = BugReportCreateV3(subject="Sync Item BUG REPORT", description=report_content)
    report_bug(bug_report)
