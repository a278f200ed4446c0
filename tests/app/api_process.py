"""Helpers of the local API tests: the service as a foreground process, raw HTTP over sockets."""
import json
import os
import resource
import socket
import subprocess
import sys
import time

from zentab_api.app import address as api_address


class Foreground:
    """`python -m zentab_api.service` started by hand, as a user would, with its console piped."""

    def __init__(self, data_dir, *args, nofile=None, umask=None, wait=True):
        def limits():
            if nofile is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
            if umask is not None:
                os.umask(umask)

        env = dict(os.environ, ZENTAB_DATA_DIR=str(data_dir))
        self.proc = subprocess.Popen([sys.executable, "-m", "zentab_api.service", *args], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=limits)
        self.address = None
        if wait:
            saved = os.environ.get("ZENTAB_DATA_DIR")
            os.environ["ZENTAB_DATA_DIR"] = str(data_dir)
            try:
                self.address = api_address.wait_for_address(self.proc.pid, timeout=60)
            finally:
                if saved is None:
                    os.environ.pop("ZENTAB_DATA_DIR")
                else:
                    os.environ["ZENTAB_DATA_DIR"] = saved

    def finish(self, timeout=30):
        """Waits for the process to end by itself; (exit code, stdout, stderr)."""
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out, err

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        return self.finish()


def connect(address, timeout=15):
    sock = socket.create_connection(("127.0.0.1", address.port), timeout=timeout)
    return sock


def head(address, method, path, *, key=True, host="127.0.0.1", extra=""):
    lines = [f"{method} {path} HTTP/1.1", f"Host: {host}"]
    if key:
        lines.append(f"Authorization: Bearer {address.key}")
    return ("\r\n".join(lines) + "\r\n" + extra + "\r\n").encode()


def read_answer(sock):
    """(status, headers, body) of one answer with a Content-Length body."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError(f"closed before an answer: {data!r}")
        data += chunk
    raw_head, _, body = data.partition(b"\r\n\r\n")
    lines = raw_head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    length = int(headers.get("content-length", 0))
    while len(body) < length:
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(lines[0].split()[1]), headers, body


def error_body(body):
    answer = json.loads(body)
    assert set(answer) == {"detail", "error"} and isinstance(answer["detail"], str), answer
    return answer


def closed_by_peer(sock, within):
    """True once the server closes the connection (EOF or reset) within `within` seconds."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            if sock.recv(65536) == b"":
                return True
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True
    return False
