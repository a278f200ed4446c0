"""The two log generators as plain Python; the module's own names are globals (see twins/__init__.py)."""
import re

_RECORD_START = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} ")


def _iter_rotated_and_current(current):
    backup = current.parent / (current.name + ".1")
    if backup.exists():
        with backup.open("r", encoding="utf-8", errors="replace") as lines:
            yield from lines
    with current.open("r", encoding="utf-8", errors="replace") as lines:
        yield from lines


def _iter_log_records(raw_lines):
    buffer = []
    for raw in raw_lines:
        line = raw.rstrip("\n")
        if _RECORD_START.match(line) and buffer:
            yield "\n".join(buffer)
            buffer = [line]
        else:
            buffer.append(line)
    if buffer:
        yield "\n".join(buffer)
