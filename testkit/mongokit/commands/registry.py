"""The command dispatch table.

A command is a function fn(inv) -> dict registered under one or more names:

    @command("count", reads=True)
    def count(inv): ...

Options:
    auth       False when it runs before authentication (handshake, SASL, ping)
    reads      True for reads a secondary serves only when the client allows
               secondary reads ($readPreference other than primary, or the
               OP_QUERY secondaryOk bit)
    admin_only True when it may only run against the admin database
    locked     False when it takes the engine lock itself (long waits)
A command returns its reply without "ok"; failures raise CommandError.
"""
from ..errors import CommandError

COMMANDS = {}


class CommandSpec:
    def __init__(self, fn, names, auth, reads, admin_only, locked):
        self.fn = fn
        self.names = names
        self.auth = auth
        self.reads = reads
        self.admin_only = admin_only
        self.locked = locked


def command(*names, auth=True, reads=False, admin_only=False, locked=True, table=None):
    """Registers fn under names in table (mongod's COMMANDS by default)."""
    def register(fn):
        entry = CommandSpec(fn, names, auth, reads, admin_only, locked)
        for name in names:
            (COMMANDS if table is None else table)[name] = entry
        return fn
    return register


def share(table, *names, **changes):
    """Registers mongod's commands names in another table (a router's) as
    they are, or with options changed (e.g. locked=False)."""
    for name in names:
        entry = COMMANDS[name]
        options = {"auth": entry.auth, "reads": entry.reads, "admin_only": entry.admin_only,
                   "locked": entry.locked}
        options.update(changes)
        table[name] = CommandSpec(entry.fn, entry.names, **options)


class Invocation:
    """One command call: the node, the connection and the request."""

    def __init__(self, node, conn, request):
        self.node = node
        self.conn = conn
        self.request = request
        self.body = request.body
        self.db = request.db
        self.name = next(iter(self.body)) if self.body else ""
        self.arg = self.body.get(self.name)

    def collection_name(self):
        """The collection a command names in its first field."""
        if not isinstance(self.arg, str) or not self.arg:
            raise CommandError(73, "collection name has invalid type %s"
                               % type(self.arg).__name__, "InvalidNamespace")
        return self.arg

    def allows_secondary_reads(self):
        pref = self.body.get("$readPreference")
        if isinstance(pref, dict) and pref.get("mode", "primary") != "primary":
            return True
        return self.request.secondary_ok

