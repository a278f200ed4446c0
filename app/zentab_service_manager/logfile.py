"""How the background services write their log files."""
import logging
import logging.handlers
import os
import re
import threading
import time
from pathlib import Path
from typing import Dict, Tuple

from zentab_client.settings.folders import get_log_dir, private_file

LOG_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"
MAX_BYTES = 10 * 1024 * 1024
BACKUP_COUNT = 1

# What starts a record for the log reader: a line beginning with a timestamp (any Unicode digits).
_RECORD_START = re.compile(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} ")
# Line ends as a text-mode reader sees them (universal newlines).
_LINE_BREAK = re.compile(r"\r\n|\r|\n")


class RecordFormatter(logging.Formatter):
    """LOG_FORMAT, with one record kept one record whatever its values hold.

    Messages carry values that clients and remote servers control (a token name, a server's
    error detail, a request path): a line break followed by a timestamp would make a forged
    record of its own. Line breaks in the message are escaped; in a traceback, which keeps
    its lines, a line that would read as a record start is indented.
    """

    def __init__(self) -> None:
        super().__init__(LOG_FORMAT)

    def formatMessage(self, record: logging.LogRecord) -> str:
        message = record.message
        if "\n" in message or "\r" in message:
            record.message = message.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
        try:
            return super().formatMessage(record)
        finally:
            record.message = message

    def format(self, record: logging.LogRecord) -> str:
        text = super().format(record)
        head, sep, rest = text.partition("\n")
        if not sep:
            return head
        lines = _LINE_BREAK.split(rest)
        return head + "\n" + "\n".join(" " + line if _RECORD_START.match(line) else line for line in lines)


class RepeatFilter(logging.Filter):
    """Lets at most `burst` records with the same origin and text through per `window_s`.

    A flood of one error (the event loop's accept() failing with no descriptor left, a client
    hammering one fault) would otherwise rotate the service's own records out of its log. The
    first record of a window after a suppressed run says how many were left out.
    """

    def __init__(self, burst: int = 20, window_s: float = 60.0, max_keys: int = 256) -> None:
        super().__init__()
        self.burst, self.window_s, self.max_keys = burst, window_s, max_keys
        self._seen: Dict[Tuple[str, int, str], Tuple[float, int]] = {}  # key -> (window start, count)
        self._lock = threading.Lock()

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno < logging.WARNING:
            return True  # requests and routine records are the log's content, not a flood
        key = (record.name, record.levelno, str(record.msg))
        now = time.monotonic()
        with self._lock:
            start, count = self._seen.get(key, (now, 0))
            if now - start >= self.window_s:
                if count > self.burst:
                    record.msg = f"{record.msg} [{count - self.burst} more like this in the last " \
                                 f"{now - start:.0f} s were not logged]"
                start, count = now, 0
            count += 1
            if len(self._seen) >= self.max_keys and key not in self._seen:
                self._seen.clear()  # many distinct texts: no flood of one to hold back
            self._seen[key] = (start, count)
        return count <= self.burst


class RotatingLog(logging.handlers.RotatingFileHandler):
    """RotatingFileHandler whose rollover never leaves the log or its backup missing.

    The standard rollover removes the backup, renames the log to it, then opens a new log: a
    reader (the API's /admin/logs) racing it finds a file gone between its check and its open.
    Here each name is replaced atomically: the backup by a second link to the full log, then
    the log by a new empty file (0600). For an instant both names show the same file; a reader
    then sees its records twice, never an error.
    """

    def doRollover(self) -> None:
        if self.stream:
            self.stream.close()
            self.stream = None  # type: ignore[assignment]
        base = self.baseFilename
        if self.backupCount > 0 and os.path.exists(base):
            linked = f"{base}.{os.getpid()}.rotating"
            fresh = f"{base}.{os.getpid()}.new"
            for leftover in (linked, fresh):
                try:
                    os.unlink(leftover)
                except FileNotFoundError:
                    pass
            os.link(base, linked)
            os.replace(linked, self.rotation_filename(f"{base}.1"))
            os.close(os.open(fresh, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600))
            os.replace(fresh, base)
        if not self.delay:
            self.stream = self._open()


def configure_service_logging(file_name: str, level: int = logging.INFO) -> Path:
    """Sends the root logger to <log dir>/<file_name>, rotated; returns the file's path.

    Called by the service processes, which own their process: umask 077 makes the files
    created later (rotated logs, the store's WAL) private too.
    """
    os.umask(0o077)
    handler = rotating_handler(file_name)
    root = logging.getLogger()
    for old in list(root.handlers):
        root.removeHandler(old)
        old.close()
    root.addHandler(handler)
    root.setLevel(level)
    return Path(handler.baseFilename)


def rotating_handler(file_name: str, hold_back_floods: bool = True) -> RotatingLog:
    """The service log's handler: <log dir>/<file_name>, 0600 from its creation, rotated, one
    record per record; floods of one error held back unless the caller filters them earlier."""
    path = private_file(get_log_dir() / file_name)
    handler = RotatingLog(path, maxBytes=MAX_BYTES, backupCount=BACKUP_COUNT, encoding="utf-8")
    handler.setFormatter(RecordFormatter())
    if hold_back_floods:
        handler.addFilter(RepeatFilter())
    return handler
