"""Plain-Python peers of the native tidewell, parcelry and keyfolio functions.

Each peer takes the same steps as its native twin, in the same order, and finds
its collaborators the same way: as module-level names looked up when used. The
names are bound by whoever uses this module (bench/calls.py binds the same
doubles here and on the native modules), as the native import tables bind them.
Argument checks and return checks are written out where the native functions
make them, with the same messages.
"""

# ---- argument and return checks ------------------------------------------------


def _to_int(name, value):
    kind = type(value)
    if not (hasattr(kind, "__index__") or hasattr(kind, "__int__") or hasattr(kind, "__float__")
            or isinstance(value, complex)):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {kind.__name__})")
    return int(value)


def _wrong_type(name, expected, value):
    kind = type(value)
    if isinstance(value, expected):
        raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {kind.__name__}). "
                        f"Subclasses of built-in types are not accepted; an exact {expected.__name__} instance "
                        f"is required.")
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {kind.__name__})")


def _expect_str(value):
    if type(value) is str or value is None:
        return value
    raise TypeError(f"Expected str, got {type(value).__name__}")


def _expect_int(value):
    if type(value) is int or value is None:
        return value
    if hasattr(type(value), "__index__") or hasattr(type(value), "__int__") or hasattr(type(value), "__float__"):
        return int(value)
    raise TypeError(f"Expected int, got {type(value).__name__}")


# ---- tidewell -------------------------------------------------------------------


def _get_service_status_safe(service_module):
    try:
        service = service_module.get_service()
        status = service.status
        if status.installation_status == InstallationStatus.NOT_INSTALLED:
            return ServiceStatus.NOT_INSTALLED
        if status.running_status == RunningStatus.RUNNING:
            return ServiceStatus.RUNNING
        if status.enablement_status == EnablementStatus.DISABLED:
            return ServiceStatus.NOT_ENABLED
        return ServiceStatus.NOT_RUNNING
    except Exception:
        return ServiceStatus.NOT_INSTALLED


def _create_response(status_model):
    agent_status = _get_service_status_safe(tidewell)
    api_status = _get_service_status_safe(sync_api)
    tidewell_status = TidewellStatus.UNAVAILABLE
    if agent_status == ServiceStatus.RUNNING:
        tidewell_status = TidewellStatus(status_model.status.value)
    return SyncStatusReadV1(
        tidewell_service=agent_status,
        sync_api_service=api_status,
        tidewell_status=tidewell_status,
        sync_iteration_count=status_model.sync_iteration_count,
        last_update=status_model.last_update,
    )


async def start_tidewell():
    service = tidewell.get_service()
    status = service.status
    if status.installation_status == InstallationStatus.NOT_INSTALLED:
        raise TidewellNotInstalledError("Tidewell is not installed, cannot start")
    if status.running_status == RunningStatus.RUNNING:
        async with get_db_session_context() as db:
            status_model = await crud_sync_status.get_status(db)
            tidewell_status = TidewellStatus(status_model.status.value)
        if tidewell_status == TidewellStatus.RUNNING:
            raise TidewellAlreadyRunningError("Tidewell is already running")
    service.start()
    async with get_db_session_context() as db:
        status_model = await crud_sync_status.update_status(db, SyncLoopStatus.RUNNING)
        return _create_response(status_model)


async def stop_tidewell():
    service = tidewell.get_service()
    status = service.status
    if status.running_status != RunningStatus.RUNNING:
        raise TidewellAlreadyStoppedError("Tidewell is not running, cannot stop")
    service.stop()
    return await get_sync_status()


async def get_sync_status():
    async with get_db_session_context() as db:
        status_model = await crud_sync_status.get_status(db)
        return _create_response(status_model)


async def get_sync_errors(limit=10, skip=0, viewed=None):
    if type(limit) is not int:
        limit = _to_int("limit", limit)
    if type(skip) is not int:
        skip = _to_int("skip", skip)
    if type(viewed) is not bool and viewed is not None:
        _wrong_type("viewed", bool, viewed)
    async with get_db_session_context() as db:
        errors = await crud_sync_status.read_sync_status_errors(db, skip, limit, viewed=viewed)
        return [SyncStatusErrors.model_validate(e) for e in errors]


async def set_sync_status_error_viewed(error_id, viewed):
    if type(error_id) is not int:
        error_id = _to_int("error_id", error_id)
    viewed = bool(viewed)
    async with get_db_session_context() as db:
        updated = await crud_sync_status.set_sync_status_error_viewed(db, error_id, viewed)
        return SyncStatusErrors.model_validate(updated)


async def mark_all_sync_status_errors_viewed():
    async with get_db_session_context() as db:
        flipped = await crud_sync_status.mark_all_sync_status_errors_viewed(db)
        return _expect_int(flipped)


async def generate_tidewell_report(message):
    if type(message) is not str:
        _wrong_type("message", str, message)
    status = await get_sync_status()
    errors = await get_sync_errors(limit=10, skip=0)
    report = REPORT_TEMPLATE_TIDEWELL.format(
        message=message,
        sync_api_service=status.sync_api_service.value,
        tidewell_service=status.tidewell_service.value,
        tidewell_status=status.tidewell_status.value if hasattr(status.tidewell_status, "value")
        else status.tidewell_status,
        sync_iteration_count=status.sync_iteration_count,
        last_update=status.last_update.isoformat() if status.last_update else "N/A",
        errors=format_sync_source_errors(errors),
    )
    return _expect_str(report)


async def get_tidewell_error_report(message):
    if type(message) is not str:
        _wrong_type("message", str, message)
    report = await generate_tidewell_report(message)
    return _expect_str(report)


async def report_tidewell(message):
    if type(message) is not str:
        _wrong_type("message", str, message)
    report_content = await generate_tidewell_report(message)
    bug_report = BugReportCreateV3(subject="Tidewell BUG REPORT", description=report_content)
    report_bug(bug_report)


# ---- parcelry -------------------------------------------------------------------


async def list_parcelry(source_id, is_synchronized=None, has_priority=None, scope_identifier=None, query=None,
                        order_by=None, order_direction=None, offset=0, limit=100):
    if type(source_id) is not int:
        source_id = _to_int("source_id", source_id)
    if type(offset) is not int:
        offset = _to_int("offset", offset)
    if type(limit) is not int:
        limit = _to_int("limit", limit)
    if type(is_synchronized) is not bool and is_synchronized is not None:
        _wrong_type("is_synchronized", bool, is_synchronized)
    if type(has_priority) is not bool and has_priority is not None:
        _wrong_type("has_priority", bool, has_priority)
    if type(scope_identifier) is not str and scope_identifier is not None:
        _wrong_type("scope_identifier", str, scope_identifier)
    if type(query) is not str and query is not None:
        _wrong_type("query", str, query)
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


async def get_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    async with get_db_session_context() as db:
        item = await crud_parcelry.read_sync_item(db, sync_item_id)
        return SyncItemReadV1.model_validate(item)


async def reset_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    async with get_db_session_context() as db:
        await crud_parcelry.update_sync_item(db, sync_item_id, attempts=0, synchronized=False, has_priority=False)


async def prioritize_sync_item(sync_item_id):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    async with get_db_session_context() as db:
        await crud_parcelry.update_sync_item(db, sync_item_id, has_priority=True)


async def generate_sync_item_report(sync_item_id, message):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    if type(message) is not str:
        _wrong_type("message", str, message)
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
        return _expect_str(text)


async def get_sync_item_error_report(sync_item_id, message):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    if type(message) is not str:
        _wrong_type("message", str, message)
    report = await generate_sync_item_report(sync_item_id, message)
    return _expect_str(report)


async def report_sync_item(sync_item_id, message):
    if type(sync_item_id) is not int:
        sync_item_id = _to_int("sync_item_id", sync_item_id)
    if type(message) is not str:
        _wrong_type("message", str, message)
    report_content = await generate_sync_item_report(sync_item_id, message)
    bug_report = BugReportCreateV3(subject="Sync Item BUG REPORT", description=report_content)
    report_bug(bug_report)


# ---- keyfolio ---------------------------------------------------------------------


def _token_holders(session):
    return session.scalars(select(Users).where(Users.api_token.isnot(None))).all()


async def create_api_token(name=None):
    if type(name) is not str and name is not None:
        _wrong_type("name", str, name)
    user_settings = get_user_settings()
    if not user_settings.user_sub:
        raise NoUserLoggedInError("No user is currently logged in.")
    if not user_settings.server_url:
        raise NoUserLoggedInError("No server URL configured.")

    with get_db_session_context() as session:
        existing = dao_api_token.read(user_settings.user_sub, session)
    if existing is not None:
        raise UserAlreadyHasTokenError(f"User '{user_settings.user_sub}' already has a local API token. "
                                       f"Delete it first.")

    token_name = name if name else generate_token_name()
    try:
        token_response = api_token_create(name=token_name)
    except ConnectionError:
        raise ServerUnreachableError("Cannot reach the server to create the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while creating token: {e}")

    token_info = APIKeyInfo(
        uid=token_response.uid,
        name=token_response.name,
        api_token=token_response.api_token,
        server_url=user_settings.server_url,
    )
    store_API_token(token_info)
    return APITokenCreateResponse(
        uid=token_response.uid,
        name=token_response.name,
        api_token=token_response.api_token,
        server_url=user_settings.server_url,
    )


async def list_keyfolio():
    with get_db_session_context() as session:
        users = _token_holders(session)
        results = []
        for user in users:
            token_dict = user.api_token
            results.append(APITokenReadLocal(
                user_sub=user.username,
                user_name=f"{user.firstname} {user.lastname}",
                api_key_name=token_dict.get("name") if token_dict else None,
                api_key_uid=token_dict.get("uid") if token_dict else None,
                server_url=token_dict.get("server_url") if token_dict else None,
            ))
    return results


async def delete_api_token(api_key_uid):
    if type(api_key_uid) is not str:
        _wrong_type("api_key_uid", str, api_key_uid)
    with get_db_session_context() as session:
        users = _token_holders(session)
        target_user_sub = None
        for user in users:
            token_dict = user.api_token
            if token_dict and token_dict.get("uid") == api_key_uid:
                target_user_sub = user.username
                break
    if target_user_sub is None:
        raise TokenNotFoundError(f"No local token found with uid '{api_key_uid}'.")

    try:
        api_token_delete(api_key_uid)
    except ConnectionError:
        raise ServerUnreachableError("Cannot reach the server to revoke the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while revoking token: {e}")

    with get_db_session_context() as session:
        dao_api_token.delete(target_user_sub, session)
    TOKEN_CACHE.pop(target_user_sub, None)


async def check_api_token(api_key_uid):
    if type(api_key_uid) is not str:
        _wrong_type("api_key_uid", str, api_key_uid)
    with get_db_session_context() as session:
        users = _token_holders(session)
        target_user_sub = None
        target_token = None
        for user in users:
            token_dict = user.api_token
            if token_dict and token_dict.get("uid") == api_key_uid:
                target_user_sub = user.username
                target_token = APIKeyInfo(
                    uid=token_dict.get("uid"),
                    name=token_dict.get("name"),
                    api_token=token_dict.get("api_token"),
                    server_url=token_dict.get("server_url"),
                )
                break
    if target_token is None or target_user_sub is None:
        raise TokenNotFoundError(f"No local token found with uid '{api_key_uid}'.")

    try:
        test_api_token(target_user_sub, target_token)
        response = APITokenCheckResponse(valid=True)
    except APIKeyInvalidException:
        response = APITokenCheckResponse(valid=False)
    except Exception:
        raise ServerUnreachableError("Cannot reach the server to validate the token.")
    return response
