"""Registry of the sync connectors this agent ships with."""
from dataclasses import dataclass
from typing import Dict


@dataclass(frozen=True)
class SyncConnector:
    name: str
    display_name: str
    version: str
    description: str


_CONNECTORS = (
    SyncConnector("filesystem", "Local folder", "1.2.0",
                  "Synchronises files from a folder on this machine or a mounted drive."),
    SyncConnector("webdav", "WebDAV share", "0.9.3",
                  "Synchronises files from a WebDAV server over HTTPS."),
)


def get_sync_connectors() -> Dict[str, SyncConnector]:
    """Connector name -> entry. A new dict each call, so callers may modify it freely."""
    return {c.name: c for c in _CONNECTORS}
