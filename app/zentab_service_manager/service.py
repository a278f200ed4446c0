"""A Python module run as a detached background process, tracked through files.

Everything lives under <data dir>/services/, so any process (and the next run of the
app) sees the same state: <name>.pid while running, <name>.json for install/enable.
"""
import fcntl
import json
import os
import signal
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, Optional

from zentab_client.settings.folders import DATA_DIR_ENV, get_data_dir
from zentab_service_manager.status import (EnablementStatus, InstallationStatus, RunningStatus,
                                           ServiceStatusSnapshot)

STOP_TIMEOUT_S = 5.0
KILL_TIMEOUT_S = 2.0
_POLL_S = 0.02
# The directory holding our packages, so the child imports the same code as the parent
# even when the parent found it through a sys.path tweak rather than an installation.
_PACKAGE_ROOT = str(Path(__file__).resolve().parent.parent)


# Processes this process started, so they are reaped through their Popen (which then
# knows it is finished and does not warn when dropped).
_children: Dict[int, "subprocess.Popen[bytes]"] = {}


class ServiceNotInstalledError(RuntimeError):
    pass


def services_dir() -> Path:
    path = get_data_dir() / "services"
    path.mkdir(parents=True, exist_ok=True)
    return path


def _reap(pid: int) -> bool:
    """True if pid was a child of ours that had exited and is now reaped."""
    proc = _children.get(pid)
    if proc is not None:
        if proc.poll() is None:
            return False
        del _children[pid]
        return True
    try:
        done, _ = os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return False  # not our child (or already reaped)
    return done == pid


def _proc_state(pid: int) -> Optional[str]:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat.rsplit(")", 1)[-1].split()[0]


def _cmdline(pid: int) -> Optional[str]:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return None


class BackgroundService:
    def __init__(self, name: str, module: str) -> None:
        self.name = name
        self.module = module

    # -- files -----------------------------------------------------------------
    @property
    def pid_file(self) -> Path:
        return services_dir() / f"{self.name}.pid"

    @property
    def state_file(self) -> Path:
        return services_dir() / f"{self.name}.json"

    def _read_state(self) -> dict:
        state = {"installed": True, "enabled": True}
        try:
            stored = json.loads(self.state_file.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return state
        if isinstance(stored, dict):
            state.update({k: bool(stored[k]) for k in ("installed", "enabled") if k in stored})
        return state

    def _write_state(self, **changes: bool) -> None:
        state = self._read_state()
        state.update(changes)
        _atomic_write(self.state_file, json.dumps(state))

    @contextmanager
    def _locked(self) -> Iterator[None]:
        # Serialises start/stop across processes: two starts must not spawn two agents.
        with open(services_dir() / f"{self.name}.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(lock, fcntl.LOCK_UN)

    def _read_pid(self) -> Optional[int]:
        try:
            pid = int(self.pid_file.read_text().strip())
        except (OSError, ValueError):
            return None
        return pid if pid > 0 else None

    # -- process ---------------------------------------------------------------
    def _alive(self, pid: int) -> bool:
        if _reap(pid):
            return False
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        except PermissionError:
            return True  # exists, belongs to someone else; the cmdline check decides
        if _proc_state(pid) == "Z":
            return False  # exited, waiting for a parent that is not us
        cmd = _cmdline(pid)
        # A recycled pid running something else is not our service.
        return cmd is None or self.module in cmd

    @property
    def pid(self) -> Optional[int]:
        """The pid of the running process, or None."""
        pid = self._read_pid()
        return pid if pid is not None and self._alive(pid) else None

    @property
    def status(self) -> ServiceStatusSnapshot:
        """A fresh snapshot at every read."""
        state = self._read_state()
        return ServiceStatusSnapshot(
            installation_status=InstallationStatus.INSTALLED if state["installed"] else InstallationStatus.NOT_INSTALLED,
            running_status=RunningStatus.RUNNING if self.pid is not None else RunningStatus.STOPPED,
            enablement_status=EnablementStatus.ENABLED if state["enabled"] else EnablementStatus.DISABLED,
        )

    def start(self) -> int:
        """Starts the process unless it runs already; returns its pid.

        A disabled service can still be started by hand (disabled only means it is not
        started automatically); a service that is not installed cannot.
        """
        if not self._read_state()["installed"]:
            raise ServiceNotInstalledError(f"Service {self.name} is not installed")
        with self._locked():
            running = self.pid
            if running is not None:
                return running
            env = dict(os.environ)
            env[DATA_DIR_ENV] = str(get_data_dir().resolve())
            env["PYTHONPATH"] = os.pathsep.join(p for p in (_PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
            proc = subprocess.Popen([sys.executable, "-m", self.module], env=env, start_new_session=True,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, close_fds=True)
            _children[proc.pid] = proc
            _atomic_write(self.pid_file, f"{proc.pid}\n")
            return proc.pid

    def stop(self) -> bool:
        """SIGTERM, then SIGKILL after STOP_TIMEOUT_S; True if a process was stopped."""
        with self._locked():
            pid = self._read_pid()
            stopped = False
            if pid is not None and self._alive(pid):
                stopped = True
                for sig, timeout in ((signal.SIGTERM, STOP_TIMEOUT_S), (signal.SIGKILL, KILL_TIMEOUT_S)):
                    try:
                        os.kill(pid, sig)
                    except ProcessLookupError:
                        break
                    if self._wait_gone(pid, timeout):
                        break
            try:
                self.pid_file.unlink()
            except FileNotFoundError:
                pass
            return stopped

    def _wait_gone(self, pid: int, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while self._alive(pid):
            if time.monotonic() >= deadline:
                return False
            time.sleep(_POLL_S)
        return True

    # -- installation ----------------------------------------------------------
    def install(self) -> None:
        self._write_state(installed=True)

    def uninstall(self) -> None:
        self.stop()
        self._write_state(installed=False)

    def enable(self) -> None:
        self._write_state(enabled=True)

    def disable(self) -> None:
        self._write_state(enabled=False)

    def __repr__(self) -> str:
        return f"BackgroundService({self.name!r}, {self.module!r})"


def _atomic_write(path: Path, text: str) -> None:
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    tmp.write_text(text, encoding="utf-8")
    os.replace(tmp, path)
