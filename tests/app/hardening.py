"""Helpers of the hardening tests: child processes (as another user when we are root),
small loopback HTTP servers that record what reaches them."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

NOBODY = 65534
IS_ROOT = os.geteuid() == 0


def loose_modes(root):
    """Paths under root (root included) that group or others may access."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for path in [dirpath] + [os.path.join(dirpath, n) for n in dirnames + filenames]:
            st = os.lstat(path)
            if st.st_mode & 0o077 and not os.path.islink(path):
                found.append((os.path.relpath(path, root), oct(st.st_mode & 0o777)))
    return sorted(set(found))


def shared_tmpdir():
    """A folder another user can reach (pytest's tmp_path is root-only when we are root)."""
    path = Path(tempfile.mkdtemp(prefix="zentab-hardening-"))
    os.chmod(path, 0o711)
    return path


def chown_tree(root, uid):
    for dirpath, dirnames, filenames in os.walk(root):
        for name in [dirpath] + [os.path.join(dirpath, n) for n in dirnames + filenames]:
            os.lchown(name, uid, uid)


def run_child(code, data_dir, *, as_nobody=False, timeout=60, env=None):
    """Runs python code in a fresh interpreter with ZENTAB_DATA_DIR; returns its last stdout line as JSON."""
    child_env = dict(os.environ, ZENTAB_DATA_DIR=str(data_dir), **(env or {}))
    kwargs = {}
    if as_nobody and IS_ROOT:
        kwargs = dict(user=NOBODY, group=NOBODY, extra_groups=[])
        child_env["HOME"] = str(data_dir)
    proc = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


class Recorder:
    """A loopback HTTP server answering every request with `answer(handler)`; records requests."""

    def __init__(self, answer):
        self.requests = []
        recorder = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _any(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                recorder.requests.append({"method": self.command, "path": self.path,
                                          "headers": dict(self.headers), "body": body})
                status, headers, payload = answer(self)
                self.send_response(status)
                for key, value in headers.items():
                    self.send_header(key, value)
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_GET = do_POST = do_DELETE = do_PUT = _any

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def json_answer(status, payload, headers=None):
    return lambda _handler: (status, dict({"Content-Type": "application/json"}, **(headers or {})),
                             json.dumps(payload).encode() if payload is not None else b"")


def make_read_only(*paths):
    """Read-only for us even as root: chattr +i where we are root, modes otherwise."""
    for path in paths:
        if IS_ROOT:
            subprocess.run(["chattr", "+i", str(path)], check=True, capture_output=True)
        else:
            os.chmod(path, 0o500 if os.path.isdir(path) else 0o400)


def rmtree(path):
    if IS_ROOT:
        subprocess.run(["chattr", "-R", "-i", str(path)], capture_output=True)
    for dirpath, dirnames, _ in os.walk(path):
        for name in [dirpath] + [os.path.join(dirpath, n) for n in dirnames]:
            try:
                os.chmod(name, 0o700)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)
