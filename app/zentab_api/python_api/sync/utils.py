"""Plain-text reports of the sync state.

The templates are filled with str.format(**values) exactly once; the values may contain
braces (user messages, file names), so a filled report must never be formatted again.
"""
from datetime import datetime, timezone
from typing import Any, Iterable, List, Mapping, Optional

from zentab_api.app.schemas.sync.connectors import ConnectorRead
from zentab_api.app.schemas.sync.sync_status import SyncStatusErrors

NO_ERRORS = "No errors recorded."
NO_SYNC_RECORD = "No sync record."
NO_LOG_LINES = "The sync record holds no log lines."
CONNECTOR_NOT_REGISTERED = "Connector not registered on this machine."

REPORT_TEMPLATE_TIDEWELL = """\
{message}

Services
  Tidewell agent service:  {tidewell_service}
  Sync API service:        {sync_api_service}

Tidewell agent
  Loop status:             {tidewell_status}
  Sync iterations:         {sync_iteration_count}
  Last update:             {last_update}

Errors
{errors}
"""

REPORT_TEMPLATE_SYNC_ITEM = """\
{message}

Sync item {sync_item_id}
  Data identifier:  {data_identifier}
  Dataset UUID:     {dataset_uuid}
  Status:           {status}
  Priority:         {sync_priority} (prioritised: {has_priority})
  Attempts:         {attempts}
  Last update:      {last_update}

Sync source
  Name:             {sync_source_name}
  Connector:        {sync_source_connector}
  Status:           {sync_source_status}
  Owner:            {sync_source_owner}
  Default scope:    {sync_source_default_scope}
  Configuration:    {sync_source_config_data}

Connector
{connector_info}

Sync record
{logs}
"""


def _format_time(value: datetime) -> str:
    # Stored times are UTC; naive ones are taken as UTC too.
    if value.tzinfo is None:
        value = value.replace(tzinfo=timezone.utc)
    return value.astimezone(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def _one_line(text: str) -> str:
    return " ".join(text.splitlines()) if text else text


def format_sync_source_errors(errors: Optional[Iterable[Any]]) -> str:
    """One line per entry: time, id, viewed flag, message (newlines folded into spaces).

    Accepts SyncStatusErrors, the store's rows or dicts with the same fields; None or an
    empty list gives NO_ERRORS.
    """
    lines: List[str] = []
    for entry in errors or ():
        err = entry if isinstance(entry, SyncStatusErrors) else SyncStatusErrors.model_validate(entry)
        flag = "[viewed]" if err.viewed else "[new]   "
        lines.append(f"{_format_time(err.created_at)}  #{err.id}  {flag}  {_one_line(err.message)}")
    return "\n".join(lines) if lines else NO_ERRORS


def format_connector_info(connector: Optional[ConnectorRead]) -> str:
    """None stands for a source naming a connector that is not registered."""
    if connector is None:
        return CONNECTOR_NOT_REGISTERED
    return (f"{connector.display_name} ({connector.name}) version {connector.version}\n"
            f"{_one_line(connector.description)}")


def format_sync_record_logs(sync_record: Optional[Mapping[str, Any]]) -> str:
    """The record's log lines, one per line; NO_SYNC_RECORD when there is no record at all."""
    if not isinstance(sync_record, Mapping):
        return NO_SYNC_RECORD
    logs = sync_record.get("logs")
    if isinstance(logs, str):
        logs = logs.splitlines()
    if not logs:
        return NO_LOG_LINES
    return "\n".join(str(line) for line in logs)
