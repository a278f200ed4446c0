"""How the background services write their log files."""
import logging
import logging.handlers
from pathlib import Path

from zentab_client.settings.folders import get_log_dir

LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
MAX_BYTES = 10 * 1024 * 1024
BACKUP_COUNT = 1


def configure_service_logging(file_name: str, level: int = logging.INFO) -> Path:
    """Sends the root logger to <log dir>/<file_name>, rotated; returns the file's path."""
    path = get_log_dir() / file_name
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
