"""How the background services write their log files."""
import logging
import logging.handlers
from pathlib import Path

import os

from zentab_client.settings.folders import get_log_dir, private_file

LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
MAX_BYTES = 10 * 1024 * 1024
BACKUP_COUNT = 1


def configure_service_logging(file_name: str, level: int = logging.INFO) -> Path:
    """Sends the root logger to <log dir>/<file_name>, rotated; returns the file's path.

    Called by the service processes, which own their process: umask 077 makes the files
    created later (rotated logs, the store's WAL) private too.
    """
    os.umask(0o077)
    path = private_file(get_log_dir() / file_name)
    handler = logging.handlers.RotatingFileHandler(path, maxBytes=MAX_BYTES, backupCount=BACKUP_COUNT,
                                                   encoding="utf-8")
    handler.setFormatter(logging.Formatter(LOG_FORMAT))
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
        old.close()
    root.addHandler(handler)
    root.setLevel(level)
    return path
