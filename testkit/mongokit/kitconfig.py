"""Per-tool-directory settings of the kit.

A tool directory may hold a file "testkit.json" beside the executables (the
directory they were invoked from, not where their real files live), e.g.
    {"version": "3.2.22", "hosts": {"db1.example": "127.0.0.7"}}
  version  the server version the tools imitate (mongod --version text,
           buildInfo, the shell banner). Default DEFAULT_VERSION. The wire
           protocol stays that of a 4.4 server whatever the version says.
  hosts    host names the kit resolves itself, before the system resolver
           (lets tests give members names without touching /etc/hosts).
A test that wants other settings makes its own tool directory of symlinks
(see `mongo-cluster tooldir`).
"""
import json
import os
import socket
import sys

DEFAULT_VERSION = "4.4.6"
FILE_NAME = "testkit.json"


def _load():
    invoked_dir = os.path.dirname(os.path.abspath(sys.argv[0] if sys.argv and sys.argv[0] else "."))
    path = os.path.join(invoked_dir, FILE_NAME)
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        return data if isinstance(data, dict) else {}
    except (OSError, ValueError):
        return {}


_settings = None


def settings():
    global _settings
    if _settings is None:
        _settings = _load()
    return _settings


def version():
    return str(settings().get("version") or DEFAULT_VERSION)


def version_tuple(text=None):
    parts = []
    for piece in (text or version()).lstrip("v").split(".")[:3]:
        digits = "".join(ch for ch in piece if ch.isdigit())
        parts.append(int(digits or 0))
    return tuple(parts + [0] * (3 - len(parts)))


def resolve(host):
    """IPv4 address of a host name, the kit's aliases first."""
    aliases = settings().get("hosts") or {}
    if host in aliases:
        return aliases[host]
    if host == "localhost":
        return "127.0.0.1"
    return socket.gethostbyname(host)
