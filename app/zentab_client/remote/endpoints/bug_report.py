"""Bug report endpoint of the remote server."""
from __future__ import annotations

from pydantic import BaseModel

from zentab_client.remote import http


class BugReportCreateV3(BaseModel):
    subject: str
    description: str


def report_bug(record: BugReportCreateV3) -> None:
    """Send a bug report to the configured server."""
    http.request("POST", "/api/v3/bug-reports", body=record.model_dump())
