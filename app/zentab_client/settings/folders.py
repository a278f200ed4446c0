"""Where the application keeps its files on this machine.

The data directory holds API tokens and login credentials in plain SQLite files, so it
and everything in it is private to the user: directories 0700, files 0600, created that
way (not left to the umask) and tightened when an older installation left them looser.
"""
import errno
import logging
import os
import stat
import threading
from pathlib import Path
from typing import Dict, Set

logger = logging.getLogger(__name__)

DATA_DIR_ENV = "ZENTAB_DATA_DIR"
DIR_MODE = 0o700
FILE_MODE = 0o600

# Data directories already created or tightened by this process (the tree / the folder).
_checked: Set[str] = set()
_private_dirs: Set[str] = set()
_paths: Dict[str, Path] = {}
_checked_lock = threading.Lock()


class DataDirectoryError(OSError):
    """The data directory (or a folder in it) cannot be used; str() names the path and the cause."""


def _describe(path: Path, err: OSError) -> DataDirectoryError:
    if isinstance(err, FileExistsError) or err.errno in (errno.EEXIST, errno.ENOTDIR):
        # Either the path itself or one of its parents is a file.
        what = "a file is in the way (a folder is needed there)"
    elif isinstance(err, PermissionError) or err.errno in (errno.EACCES, errno.EPERM):
        what = "permission denied"
    elif err.errno == errno.EROFS:
        what = "the file system is read-only"
    elif isinstance(err, FileNotFoundError):
        what = "a parent folder does not exist and cannot be created"
    else:
        what = err.strerror or str(err)
    return DataDirectoryError(err.errno or errno.EIO,
                              f"Cannot use the data directory {path}: {what} (set {DATA_DIR_ENV} to a usable folder)",
                              str(path))


def private_dir(path: Path) -> Path:
    """mkdir -p with the last component 0700; an existing folder is tightened to 0700."""
    key = str(path)
    if key in _private_dirs and os.path.isdir(key):
        return path  # made private by this process already; status reads come here often
    try:
        path.mkdir(mode=DIR_MODE, parents=True, exist_ok=True)
        st = os.stat(path)
    except OSError as err:
        raise _describe(path, err) from None
    if not stat.S_ISDIR(st.st_mode):
        raise _describe(path, NotADirectoryError(errno.ENOTDIR, "not a directory"))
    if stat.S_IMODE(st.st_mode) & 0o077:
        _tighten(path, DIR_MODE)
    _private_dirs.add(key)
    return path


def _tighten(path: Path, mode: int) -> None:
    try:
        os.chmod(path, stat.S_IMODE(os.lstat(path).st_mode) & mode)
    except OSError as err:
        # Not ours (another user's folder) or a read-only file system: usable, but say so.
        logger.warning("cannot make %s private: %s", path, err.strerror or err)


def _tighten_tree(root: Path) -> None:
    """Removes group/other access from everything below root (an older, looser data directory)."""
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            try:
                st = os.lstat(full)
            except OSError:
                continue
            if stat.S_ISLNK(st.st_mode) or not stat.S_IMODE(st.st_mode) & 0o077:
                continue
            _tighten(Path(full), DIR_MODE if stat.S_ISDIR(st.st_mode) else FILE_MODE)


def private_file(path: Path) -> Path:
    """Creates path as an empty 0600 file if missing, tightens it if looser; does not truncate.

    Call before a library creates the file with its own default mode (SQLite, logging).
    """
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, FILE_MODE)
    except OSError as err:
        if err.errno == errno.EISDIR:
            raise _describe(path, err) from None
        if os.path.exists(path):
            # A read-only file or folder: readers still work; only make sure of the mode.
            if os.stat(path).st_mode & 0o077:
                _tighten(path, FILE_MODE)
            return path
        raise _describe(path, err) from None
    try:
        if os.fstat(fd).st_mode & 0o077:
            try:
                os.fchmod(fd, FILE_MODE)
            except OSError as err:
                logger.warning("cannot make %s private: %s", path, err.strerror or err)
    finally:
        os.close(fd)
    return path


def get_data_dir() -> Path:
    """The data directory: $ZENTAB_DATA_DIR, else the per-user default; created on first use.

    Raises DataDirectoryError naming the path when it cannot be created or is not a folder.
    """
    configured = os.environ.get(DATA_DIR_ENV)
    if configured:
        path = _paths.get(configured) or _paths.setdefault(configured, Path(configured))
    else:
        base = os.environ.get("XDG_DATA_HOME") or os.path.join(Path.home(), ".local", "share")
        path = Path(base) / "zentab"
    key = str(path)
    if key in _checked and os.path.isdir(key):
        return path
    private_dir(path)
    with _checked_lock:
        if key not in _checked:
            _tighten_tree(path)
            _checked.add(key)
    return path


def get_log_dir() -> Path:
    """The directory both services write their logs into."""
    return private_dir(get_data_dir() / "logs")
