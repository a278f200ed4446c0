"""tidewell's coroutines as plain Python; collaborators are module globals (see twins/__init__.py)."""
from twins.checks import entry, exact, expect_int, expect_str, to_int


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


def _errors_args(limit=10, skip=0, viewed=None):
    return to_int("limit", limit), to_int("skip", skip), exact("viewed", bool, viewed, optional=True)


@entry(_errors_args)
async def get_sync_errors(limit=10, skip=0, viewed=None):
    if not (type(limit) is int and type(skip) is int and (viewed is None or type(viewed) is bool)):
        limit, skip, viewed = _errors_args(limit, skip, viewed)
    async with get_db_session_context() as db:
        errors = await crud_sync_status.read_sync_status_errors(db, skip, limit, viewed=viewed)
        return [SyncStatusErrors.model_validate(e) for e in errors]


def _viewed_args(error_id, viewed):
    return to_int("error_id", error_id), bool(viewed)


@entry(_viewed_args)
async def set_sync_status_error_viewed(error_id, viewed):
    if type(error_id) is not int or type(viewed) is not bool:
        error_id, viewed = _viewed_args(error_id, viewed)
    async with get_db_session_context() as db:
        updated = await crud_sync_status.set_sync_status_error_viewed(db, error_id, viewed)
        return SyncStatusErrors.model_validate(updated)


async def mark_all_sync_status_errors_viewed():
    async with get_db_session_context() as db:
        flipped = await crud_sync_status.mark_all_sync_status_errors_viewed(db)
        return expect_int(flipped)


def _message(message):
    return (exact("message", str, message),)


@entry(_message)
async def generate_tidewell_report(message):
    if type(message) is not str:
        message, = _message(message)
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
    return expect_str(report)


@entry(_message)
async def get_tidewell_error_report(message):
    if type(message) is not str:
        message, = _message(message)
    report = await generate_tidewell_report(message)
    return expect_str(report)


@entry(_message)
async def report_tidewell(message):
    if type(message) is not str:
        message, = _message(message)
    report_content = await generate_tidewell_report(message)
    bug_report = BugReportCreateV3(subject="Tidewell BUG REPORT", description=report_content)
    report_bug(bug_report)
