import re as re
from collections import deque as deque
from enum import Enum as Enum
from pathlib import Path as Path
from typing import Dict, Iterator as Iterator, List as List

from zentab_api.app.exceptions.admin.logs_handler import LogFileNotFoundError as LogFileNotFoundError
from zentab_client.settings.folders import get_log_dir as get_log_dir

API_LOG_FILE_NAME: str
TIDEWELL_LOG_FILE_NAME: str

class LogService(str, Enum):
    # Enum's own __new__ stands in front of str's at runtime.
    def __new__(cls, value: object) -> LogService: ...
    api = "api"
    tidewell = "tidewell"

_LOG_FILE_NAMES: Dict[LogService, str]
_RECORD_START: re.Pattern[str]

def _iter_rotated_and_current(current: Path) -> Iterator[str]: ...
def _iter_log_records(raw_lines: Iterator[str]) -> Iterator[str]: ...
def get_recent_log_lines(service: LogService, n: int) -> List[str]: ...
