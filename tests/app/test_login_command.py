"""Trying it by hand: the stand-in server and the client's login command, as real processes."""
import asyncio
import os
import queue
import signal
import socket
import subprocess
import sys
import threading

import pytest

from zentab_api.python_api.auth.local import keyfolio

WAIT_S = 60


class Process:
    """A child whose stdout lines are read by a thread, so that waiting for one is bounded."""

    def __init__(self, *args, env=None):
        self.proc = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL, text=True, env=env)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def line(self):
        return self.lines.get(timeout=WAIT_S)

    def stop(self, signum=signal.SIGINT):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            return self.proc.wait(WAIT_S)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def standin():
    """`python -m zentab_server --user ada --user bob`: its URL and the two passwords it printed."""
    server = Process("-m", "zentab_server", "--user", "ada", "--user", "bob")
    try:
        url = server.line()
        passwords = dict(server.line().removeprefix("password of ").split(": ") for _ in range(2))
        assert server.line().startswith("log in with: ")
        assert server.line() == "Ctrl-C stops the stand-in server."
        yield url, passwords
    finally:
        assert server.stop() == 0


def client(data_dir, *args, stdin=""):
    return subprocess.run([sys.executable, "-m", "zentab_client", *args], input=stdin, capture_output=True,
                          text=True, timeout=WAIT_S, env=dict(os.environ, ZENTAB_DATA_DIR=str(data_dir)))


def test_a_user_logged_in_by_the_command_gets_tokens_from_the_standin(data_dir, standin):
    url, passwords = standin
    done = client(data_dir, "login", "ada", "--server", url, "--first-name", "Ada", stdin=passwords["ada"] + "\n")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"ada is logged in to {url}\n", "")
    assert client(data_dir, "whoami").stdout == f"ada is logged in to {url}\n"

    created = asyncio.run(keyfolio.create_api_token("laptop"))
    assert created.server_url == url
    [listed] = asyncio.run(keyfolio.list_keyfolio())
    assert (listed.user_sub, listed.user_name, listed.api_key_uid) == ("ada", "Ada None", created.uid)
    assert asyncio.run(keyfolio.check_api_token(created.uid)).valid is True

    assert client(data_dir, "logout").stdout == "ada is logged out\n"
    assert client(data_dir, "whoami").stdout == f"nobody is logged in (server: {url})\n"
    with pytest.raises(keyfolio.NoUserLoggedInError):
        asyncio.run(keyfolio.create_api_token("second"))


def _closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize("user, server, password, message", [
    ("ada", "{url}", "bob", "the server refused: Invalid user name or password"),
    ("carol", "{url}", "ada", "the server refused: Invalid user name or password"),  # no such account
    ("ada", "{url}", "", "no password given"),
    ("ada", "http://127.0.0.1:{closed}", "ada", "Cannot reach server http://127.0.0.1:"),
    # The password never leaves in clear text for another host, nor for what is not a server URL.
    ("ada", "http://192.0.2.1:8700", "ada", "Refusing plain http to 192.0.2.1"),
    ("ada", "file:///etc/passwd", "ada", "Invalid server URL"),
])
def test_a_refused_login_is_one_line_and_logs_nobody_in(data_dir, standin, user, server, password, message):
    url, passwords = standin
    secret = passwords.get(password, "")
    done = client(data_dir, "login", user, "--server", server.format(url=url, closed=_closed_port()),
                  stdin=secret + "\n")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("python -m zentab_client login: ") and done.stderr.count("\n") == 1
    assert message in done.stderr
    assert not secret or secret not in done.stderr
    assert client(data_dir, "whoami").stdout.startswith("nobody is logged in")


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_the_standin_stops_cleanly_on_a_signal(signum):
    server = Process("-m", "zentab_server")
    assert server.line().startswith("http://127.0.0.1:")
    assert server.line() == "Ctrl-C stops the stand-in server."
    assert server.stop(signum) == 0
    assert server.proc.stderr.read() == ""


def test_the_standin_on_a_port_in_use_says_so_in_one_line():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = subprocess.run([sys.executable, "-m", "zentab_server", "--port", str(port)], capture_output=True,
                              text=True, timeout=WAIT_S)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == f"zentab_server: cannot listen on 127.0.0.1:{port}: Address already in use\n"
