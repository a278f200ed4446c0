"""A Python module run as a detached background process, tracked through files.

Everything lives under <data dir>/services/, so any process (and the next run of the
app) sees the same state: <name>.run locked by the agent while it runs, <name>.pid
naming it, <name>.json for install/enable.
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
from typing import Dict, Iterator, List, Optional

from zentab_client.settings.folders import DATA_DIR_ENV, FILE_MODE, get_data_dir, private_dir
from zentab_service_manager.status import (EnablementStatus, InstallationStatus, RunningStatus,
                                           ServiceStatusSnapshot)

STOP_TIMEOUT_S = 3.0
KILL_TIMEOUT_S = 2.0
# start/stop of one service by another process takes at most STOP + KILL; a longer wait
# means something is stuck, and the caller (often an event loop) must not hang on it.
LOCK_TIMEOUT_S = STOP_TIMEOUT_S + KILL_TIMEOUT_S + 1.0
_POLL_S = 0.02
# The directory holding our packages, so the child imports the same code as the parent
# even when the parent found it through a sys.path tweak rather than an installation.
_PACKAGE_ROOT = str(Path(__file__).resolve().parent.parent)


# Processes this process started, so they are reaped through their Popen (which then
# knows it is finished and does not warn when dropped).
_children: Dict[int, "subprocess.Popen[bytes]"] = {}


# The descriptor of the run lock a child inherits from start(), so it knows it is recorded.
LOCK_FD_ENV = "ZENTAB_SERVICE_LOCK_FD"


class ServiceNotInstalledError(RuntimeError):
    pass


class ServiceStartError(RuntimeError):
    """The service could not be started and recorded; the message says why. Nothing is left running."""


class ServiceAlreadyRunningError(RuntimeError):
    """Another process runs the service for this data directory; `.pid` names it."""

    def __init__(self, message: str, pid: Optional[int]) -> None:
        super().__init__(message)
        self.pid = pid


def services_dir() -> Path:
    return private_dir(get_data_dir() / "services")


def _reap_children() -> None:
    for pid, proc in list(_children.items()):
        if proc.poll() is not None:
            _children.pop(pid, None)


def _proc_stat(pid: int) -> Optional[List[str]]:
    """Fields 3 onwards of /proc/<pid>/stat (after the command name), or None."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat.rsplit(")", 1)[-1].split()


def _start_time(pid: int) -> Optional[int]:
    """The process's start time in clock ticks since boot: a recycled pid has another."""
    fields = _proc_stat(pid)
    return int(fields[19]) if fields and len(fields) > 19 else None


def _owner(pid: int) -> Optional[int]:
    try:
        return os.stat(f"/proc/{pid}").st_uid
    except OSError:
        return None


def _open_private(path: Path, flags: int) -> int:
    return os.open(path, flags | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, FILE_MODE)


class BackgroundService:
    """One service; its agent is known by a run lock it holds for its whole life.

    start() takes an exclusive flock on services/<name>.run and hands that open file to
    the child, so the lock lives exactly as long as the child (its fd closes when it
    exits, even on SIGKILL). A held run lock means "our agent runs"; the pid file (pid,
    start time, data directory) says which process to signal. Nothing else is ever
    signalled: not a recycled pid, not another user's process, not a process whose
    command line merely looks like ours.
    """

    def __init__(self, name: str, module: str) -> None:
        self.name = name
        self.module = module
        self._claimed_fd: Optional[int] = None

    # -- files -----------------------------------------------------------------
    @property
    def pid_file(self) -> Path:
        return services_dir() / f"{self.name}.pid"

    @property
    def state_file(self) -> Path:
        return services_dir() / f"{self.name}.json"

    @property
    def run_lock_file(self) -> Path:
        return services_dir() / f"{self.name}.run"

    def _read_state(self) -> dict:
        state = {"installed": True, "enabled": True}
        try:
            stored = json.loads(self.state_file.read_text(encoding="utf-8"))
        except (OSError, ValueError, RecursionError):
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
        path = services_dir() / f"{self.name}.lock"
        fd = _open_private(path, os.O_RDWR)
        try:
            deadline = time.monotonic() + LOCK_TIMEOUT_S
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    if time.monotonic() >= deadline:
                        raise TimeoutError(f"Waited {LOCK_TIMEOUT_S:g} s for the start/stop lock of service "
                                           f"{self.name} ({path}); another process holds it") from None
                    time.sleep(_POLL_S)
            yield
        finally:
            os.close(fd)  # releases the lock

    def _run_lock_held(self) -> bool:
        """True while a process holds the run lock: our agent (or a child it left holding it)."""
        try:
            fd = _open_private(self.run_lock_file, os.O_RDWR)
        except OSError:
            return False
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        finally:
            os.close(fd)
        return False

    def _read_record(self) -> Optional[dict]:
        try:
            record = json.loads(self.pid_file.read_text(encoding="utf-8"))
        except (OSError, ValueError, RecursionError):
            return None
        if not isinstance(record, dict):
            return None
        pid, started = record.get("pid"), record.get("start_time")
        if type(pid) is not int or pid <= 0 or type(started) is not int:
            return None
        return record

    # -- process ---------------------------------------------------------------
    def _is_ours(self, record: dict) -> bool:
        """The recorded process is the agent we started for this data directory."""
        pid = record["pid"]
        if _owner(pid) != os.getuid():
            return False  # another user's process is never ours
        fields = _proc_stat(pid)
        if fields is None or fields[0] in ("Z", "X") or _start_time(pid) != record["start_time"]:
            return False  # gone, exited, or a recycled pid
        return record.get("data_dir") == str(get_data_dir().resolve()) and record.get("module") == self.module

    def _verified_pid(self) -> Optional[int]:
        _reap_children()
        if not self._run_lock_held():
            return None
        record = self._read_record()
        return record["pid"] if record is not None and self._is_ours(record) else None

    @property
    def pid(self) -> Optional[int]:
        """The pid of the running process, or None."""
        return self._verified_pid()

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
            running = self._verified_pid()
            if running is not None:
                return running
            data_dir = str(get_data_dir().resolve())
            run_fd = _open_private(self.run_lock_file, os.O_RDWR)
            try:
                try:
                    fcntl.flock(run_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    raise RuntimeError(f"Service {self.name} holds its run lock ({self.run_lock_file}) but its pid "
                                       f"file {self.pid_file} does not name it; not starting a second one") from None
                env = dict(os.environ)
                env[DATA_DIR_ENV] = data_dir
                env[LOCK_FD_ENV] = str(run_fd)
                env["PYTHONPATH"] = os.pathsep.join(p for p in (_PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
                # umask 077: whatever the service creates (logs, databases) is private too.
                proc = subprocess.Popen([sys.executable, "-m", self.module], env=env, start_new_session=True,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, close_fds=True, pass_fds=(run_fd,),
                                        umask=0o077)
            finally:
                os.close(run_fd)  # the child keeps the lock through its copy
            _children[proc.pid] = proc
            started = _start_time(proc.pid)
            if started is None:  # died at once; nothing to record
                proc.wait(timeout=KILL_TIMEOUT_S)
                _children.pop(proc.pid, None)
                raise ServiceStartError(f"Service {self.name} exited right after start (exit code {proc.returncode})")
            try:
                _atomic_write(self.pid_file, json.dumps({"pid": proc.pid, "start_time": started,
                                                         "data_dir": data_dir, "module": self.module}))
            except OSError as err:
                # Unrecorded, it could be neither seen nor stopped: it must not go on running.
                self._end_child(proc)
                raise ServiceStartError(f"Service {self.name} could not record its process in {self.pid_file} "
                                        f"({err.strerror or err}); it was stopped again") from None
            return proc.pid

    def _end_child(self, proc: "subprocess.Popen[bytes]") -> None:
        for sig, timeout in ((signal.SIGTERM, STOP_TIMEOUT_S), (signal.SIGKILL, KILL_TIMEOUT_S)):
            try:
                proc.send_signal(sig)
                proc.wait(timeout=timeout)
                break
            except subprocess.TimeoutExpired:
                continue
        _children.pop(proc.pid, None)

    # -- the service's own process ---------------------------------------------------
    def claim(self) -> None:
        """Called by the service's process itself: records it as the running service.

        A process that start() made already is (it holds the run lock through the descriptor
        it inherited, and start() writes the pid file). One started by hand takes the run lock
        and writes the pid file itself, so status, stop() and a second start() see it the same
        way; it raises ServiceAlreadyRunningError when another process runs the service for
        this data directory.
        """
        inherited = os.environ.pop(LOCK_FD_ENV, None)
        if inherited is not None and self._is_run_lock(inherited):
            self._claimed_fd = int(inherited)
            return
        with self._locked():
            running = self._verified_pid()
            if running is not None and running != os.getpid():
                raise ServiceAlreadyRunningError(f"Service {self.name} already runs for this data directory "
                                                 f"(pid {running})", running)
            fd = _open_private(self.run_lock_file, os.O_RDWR)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                _atomic_write(self.pid_file, json.dumps({
                    "pid": os.getpid(), "start_time": _start_time(os.getpid()),
                    "data_dir": str(get_data_dir().resolve()), "module": self.module}))
            except BlockingIOError:
                os.close(fd)
                raise ServiceAlreadyRunningError(f"Service {self.name} holds its run lock ({self.run_lock_file}) "
                                                 f"but its pid file {self.pid_file} does not name it", None) from None
            except BaseException:
                os.close(fd)
                raise
        self._claimed_fd = fd

    def release(self) -> None:
        """The end of claim(): the pid file goes if it names this process, the run lock with it."""
        record = self._read_record()
        if record is not None and record["pid"] == os.getpid():
            try:
                self.pid_file.unlink()
            except FileNotFoundError:
                pass
        if self._claimed_fd is not None:
            os.close(self._claimed_fd)
            self._claimed_fd = None

    def _is_run_lock(self, fd_text: str) -> bool:
        try:
            fd = int(fd_text)
            held, path = os.fstat(fd), os.stat(self.run_lock_file)
        except (ValueError, OSError):
            return False
        return (held.st_dev, held.st_ino) == (path.st_dev, path.st_ino)

    def stop(self) -> bool:
        """SIGTERM, then SIGKILL after STOP_TIMEOUT_S; True if a process was stopped.

        Only the verified agent is signalled; a stale pid file is removed. Raises
        TimeoutError naming the pid if the process outlives SIGKILL by KILL_TIMEOUT_S.
        """
        with self._locked():
            pid = self._verified_pid()
            stopped = False
            if pid is not None:
                stopped = True
                for sig, timeout in ((signal.SIGTERM, STOP_TIMEOUT_S), (signal.SIGKILL, KILL_TIMEOUT_S)):
                    try:
                        os.kill(pid, sig)
                    except ProcessLookupError:
                        break
                    if self._wait_gone(pid, timeout):
                        break
                else:
                    raise TimeoutError(f"Service {self.name} (pid {pid}) did not exit within {KILL_TIMEOUT_S:g} s "
                                       f"after SIGKILL (and {STOP_TIMEOUT_S:g} s after SIGTERM)")
            try:
                self.pid_file.unlink()
            except FileNotFoundError:
                pass
            return stopped

    def _wait_gone(self, pid: int, timeout: float) -> bool:
        """Waits until the run lock is free (the agent is gone); reaps it if it is our child."""
        deadline = time.monotonic() + timeout
        proc = _children.get(pid)
        while True:
            if proc is not None:
                try:
                    proc.wait(timeout=_POLL_S)
                except subprocess.TimeoutExpired:
                    pass
                else:
                    _children.pop(pid, None)
            if not self._run_lock_held():
                return True
            if time.monotonic() >= deadline:
                return False
            if proc is None:
                time.sleep(_POLL_S)

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
    """Replaces path with text at once; on failure (a full disk) no temporary file is left."""
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        fd = _open_private(tmp, os.O_WRONLY | os.O_TRUNC)
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            fh.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
