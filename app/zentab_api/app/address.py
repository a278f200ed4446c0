"""Where the running local API listens, and the key its clients present.

The service writes <data dir>/api_address.json (mode 0600) once it accepts connections and
removes it when it stops. The key in it keeps other local users, and web pages that reach
127.0.0.1 through the browser, from calling the API: only someone who can read the user's
data directory can present it. A file left by a service that did not stop cleanly (SIGKILL)
names a port anyone may have bound since: it is refused unless its process is the running
local API of this data directory.
"""
import json
import os
import secrets
import stat
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Optional

from zentab_client.settings.folders import get_data_dir

ADDRESS_FILE_NAME = "api_address.json"
HOST = "127.0.0.1"


@dataclass(frozen=True)
class ApiAddress:
    url: str
    port: int
    pid: int
    key: str = ""

    @property
    def headers(self) -> Dict[str, str]:
        """What a client sends with every request."""
        return {"Authorization": f"Bearer {self.key}"}

    def __repr__(self) -> str:  # never print the key
        return f"ApiAddress(url={self.url!r}, pid={self.pid})"


class StaleAddressError(RuntimeError):
    """The address file names a process that is not the running local API (an unclean exit)."""


def address_file() -> Path:
    return get_data_dir() / ADDRESS_FILE_NAME


def new_key() -> str:
    return secrets.token_urlsafe(32)


def write_address(port: int, key: str) -> Path:
    """Records this process as the API on HOST:port; the file is private to the user from its creation."""
    path = address_file()
    record = {"url": f"http://{HOST}:{port}", "port": port, "pid": os.getpid(), "key": key}
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        tmp.unlink()
    except FileNotFoundError:
        pass
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        json.dump(record, out)
    os.replace(tmp, path)
    return path


def read_address() -> Optional[ApiAddress]:
    """The recorded address, or None when there is none or it is not one we can trust.

    A file not owned by us, open to others, or not a regular file is ignored: it could
    send our key to someone else's port. A file whose process is not the running local API
    (gone, or its pid reused) raises StaleAddressError: whoever listens on its port now is
    not our service.
    """
    found = _read_record()
    if found is not None:
        from zentab_service_manager.services import sync_api

        running = sync_api.get_service().pid
        if running != found.pid:
            now = f"the local API runs as pid {running}" if running is not None else "the local API is not running"
            raise StaleAddressError(f"{address_file()} names pid {found.pid}, but {now}: the file is left from a "
                                    "service that did not stop cleanly; its port may be anyone's now. "
                                    "Start the service again.")
    return found


def _read_record() -> Optional[ApiAddress]:
    try:
        fd = os.open(address_file(), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if (not stat.S_ISREG(info.st_mode) or info.st_uid != os.getuid()
                or info.st_mode & 0o077 or info.st_size > 4096):
            return None
        record = json.loads(os.read(fd, 4096))
        port, pid, key = record["port"], record["pid"], record["key"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    finally:
        os.close(fd)
    if not (isinstance(port, int) and 0 < port < 65536 and isinstance(pid, int) and isinstance(key, str)):
        return None
    return ApiAddress(url=f"http://{HOST}:{port}", port=port, pid=pid, key=key)


def remove_address(pid: Optional[int] = None) -> None:
    """Removes the file if it names pid (default: this process): a successor's file stays."""
    pid = os.getpid() if pid is None else pid
    current = _read_record()
    if current is not None and current.pid == pid:
        try:
            address_file().unlink()
        except FileNotFoundError:
            pass


def remove_stale_address() -> bool:
    """Removes the address file an earlier run left; True if there was one.

    The service calls it when it starts, holding the run lock: no other service of this data
    directory runs then, so any address file left is stale.
    """
    try:
        address_file().unlink()
    except FileNotFoundError:
        return False
    return True


def wait_for_address(pid: int, timeout: float = 15.0) -> ApiAddress:
    """Waits until the API process pid has recorded its address (it listens by then)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            found = read_address()
        except StaleAddressError:
            found = None  # the old file, until the new process replaces it
        if found is not None and found.pid == pid:
            return found
        if time.monotonic() >= deadline:
            raise TimeoutError(f"the local API (pid {pid}) did not record its address within {timeout} s")
        time.sleep(0.02)
