"""Bug report endpoint of the remote server."""
from __future__ import annotations

from pydantic import BaseModel

from zentab_client.remote import http
from zentab_client.settings.user_settings import get_user_settings, login_credential


class BugReportCreateV3(BaseModel):
    subject: str
    description: str


def report_bug(record: BugReportCreateV3) -> None:
    """Send a bug report to the configured server, as the logged-in user when there is one."""
    server_url = http.configured_server_url()
    http.request("POST", "/api/v3/bug-reports", server_url=server_url, body=record.model_dump(),
                 bearer=login_credential(get_user_settings().user_sub))
