"""Where the application keeps its files on this machine."""
import os
from pathlib import Path

DATA_DIR_ENV = "ZENTAB_DATA_DIR"


def get_data_dir() -> Path:
    """The data directory: $ZENTAB_DATA_DIR, else the per-user default; created on first use."""
    configured = os.environ.get(DATA_DIR_ENV)
    if configured:
        path = Path(configured)
    else:
        base = os.environ.get("XDG_DATA_HOME") or os.path.join(Path.home(), ".local", "share")
        path = Path(base) / "zentab"
    path.mkdir(parents=True, exist_ok=True)
    return path


def get_log_dir() -> Path:
    """The directory both services write their logs into."""
    path = get_data_dir() / "logs"
    path.mkdir(parents=True, exist_ok=True)
    return path
