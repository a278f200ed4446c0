"""Loopback stand-in for the remote zentab server (standard library only)."""
from zentab_server.server import RemoteServer, start_server

__all__ = ["RemoteServer", "start_server"]
