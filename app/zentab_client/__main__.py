"""The client's own commands: who is logged in on this machine, to which server.

    python -m zentab_client login NAME --server URL [--first-name F] [--last-name L]
    python -m zentab_client logout
    python -m zentab_client whoami

`login` asks the server for a login credential with NAME's password, then makes NAME the
logged-in user of the data directory ($ZENTAB_DATA_DIR, else ~/.local/share/zentab) with
URL as its server, as the application's own login does. The password is asked for at the
terminal, or read as the first line of standard input when that is not a terminal; never
from the command line, where every local user could read it.
"""
from __future__ import annotations

import argparse
import getpass
import sys
from typing import List, Optional

from zentab_client.exceptions import RemoteServerError, ServerNotConfiguredError

PROG = "python -m zentab_client"
# A password is one line; more than this on standard input is not one.
MAX_PASSWORD_BYTES = 4096


def _read_password(name: str) -> str:
    if sys.stdin is not None and sys.stdin.isatty():
        return getpass.getpass(f"password of {name}: ")
    if sys.stdin is None:
        raise ValueError("no password: standard input is closed")
    line = sys.stdin.readline(MAX_PASSWORD_BYTES + 1)
    if len(line) > MAX_PASSWORD_BYTES:
        raise ValueError("the password on standard input is too long")
    return line.rstrip("\r\n")


def _login(args: argparse.Namespace) -> str:
    from zentab_client.remote.endpoints.login import log_in
    from zentab_client.settings.user_settings import login

    password = _read_password(args.name)
    if not password:
        raise ValueError("no password given")
    answer = log_in(args.server, args.name, password)
    settings = login(answer.user_sub, args.first_name, args.last_name, args.server, access_token=answer.access_token)
    return f"{settings.user_sub} is logged in to {settings.server_url}"


def _logout(args: argparse.Namespace) -> str:
    from zentab_client.settings.user_settings import get_user_settings, logout

    user_sub = get_user_settings().user_sub
    logout()
    return f"{user_sub} is logged out" if user_sub else "nobody was logged in"


def _whoami(args: argparse.Namespace) -> str:
    from zentab_client.settings.user_settings import get_user_settings

    settings = get_user_settings()
    server = settings.server_url or "none configured"
    if not settings.user_sub:
        return f"nobody is logged in (server: {server})"
    return f"{settings.user_sub} is logged in to {server}"


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    login = commands.add_parser("login", help="log a user in to a server (asks for the password)")
    login.add_argument("name", help="the user name on the server")
    login.add_argument("--server", required=True, metavar="URL", help="the server, e.g. http://127.0.0.1:8700")
    login.add_argument("--first-name", help="shown with the user's tokens")
    login.add_argument("--last-name", help="shown with the user's tokens")
    login.set_defaults(run=_login)
    commands.add_parser("logout", help="forget the logged-in user and their login").set_defaults(run=_logout)
    commands.add_parser("whoami", help="who is logged in, to which server").set_defaults(run=_whoami)
    args = parser.parse_args(argv)
    try:
        print(args.run(args))
    except RemoteServerError as err:
        print(f"{PROG} {args.command}: the server refused: {err}", file=sys.stderr)
        return 1
    except (ServerNotConfiguredError, OSError, ValueError) as err:
        # OSError: the server unreachable or too slow, or an unusable data directory (each names itself).
        print(f"{PROG} {args.command}: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
