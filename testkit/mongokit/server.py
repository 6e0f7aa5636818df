"""The TCP front end: listeners, one thread per client connection, TLS, and
the dispatch of each request to the command table."""
import socket
import ssl
import threading
import time

from bson import Binary, Int64

from . import kitconfig, wire
from .commands import registry
from .errors import CommandError, ProtocolError, ShutdownRequested
from .logsink import log

_REPLY_ID = [0]
_REPLY_ID_LOCK = threading.Lock()


def _next_id():
    with _REPLY_ID_LOCK:
        _REPLY_ID[0] += 1
        return _REPLY_ID[0]


class ClientConnection:
    def __init__(self, server, sock, peer):
        self.server = server
        self.node = server.node
        self.sock = sock
        self.peer = peer
        self.client = "%s:%d" % peer[:2]
        self.is_loopback = peer[0].startswith("127.")
        self.users = set()
        self.sasl = None
        self.app_name = None
        self.id = self.node.register_connection(self)
        self.closed = False

    # ---- socket -----------------------------------------------------------
    def _recv_exact(self, n):
        chunks, got = [], 0
        while got < n:
            try:
                chunk = self.sock.recv(n - got)
            except (OSError, ValueError):
                chunk = b""
            if not chunk:
                if got == 0 and not chunks:
                    return None
                raise ProtocolError("connection closed inside a message")
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    def close(self):
        if self.closed:
            return
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    def _start_tls(self):
        mode = self.server.tls_mode
        if mode == "disabled":
            return True
        if mode in ("allowTLS", "preferTLS"):
            try:
                head = self.sock.recv(2, socket.MSG_PEEK)
            except OSError:
                return False
            if len(head) < 2 or head[0] != 0x16 or head[1] != 0x03:
                return True  # a plain connection, allowed in these modes
        self.sock.settimeout(10)
        try:
            self.sock = self.server.ssl_context.wrap_socket(self.sock, server_side=True)
        except (ssl.SSLError, OSError) as exc:
            log.log("NETWORK", "Error receiving request from client. Ending connection "
                    "from remote", severity="I", remote=self.client, error=str(exc))
            return False
        self.sock.settimeout(None)
        return True

    # ---- request loop -----------------------------------------------------
    def run(self):
        try:
            if not self._start_tls():
                return
            while not self.closed:
                framed = wire.read_message(self._recv_exact)
                if framed is None:
                    break
                header, payload = framed
                out = self._answer(header, payload)
                if out is not None:
                    self.sock.sendall(out)
        except ShutdownRequested:
            pass
        except ProtocolError as exc:
            log.log("NETWORK", "Invalid message, ending connection", severity="W",
                    remote=self.client, error=str(exc))
        except (OSError, ValueError):
            pass
        finally:
            self.close()
            self.node.unregister_connection(self.id)

    def _answer(self, header, payload):
        request_id, _, op_code = header
        try:
            req = wire.parse_request(header, payload)
        except wire.BsonError as exc:
            reply = CommandError(22, str(exc)).to_reply()
            if op_code == wire.OP_QUERY:
                return wire.build_reply(_next_id(), request_id, [reply])
            return wire.build_msg(_next_id(), request_id, reply)
        if req.op_code == wire.OP_QUERY and req.collection is not None:
            return self._legacy_query(req)
        reply = self.execute(req)
        if req.op_code == wire.OP_QUERY:
            return wire.build_reply(_next_id(), request_id, [reply])
        if req.more_to_come:
            return None
        try:
            return wire.build_msg(_next_id(), request_id, reply)
        except Exception as exc:  # a reply the codec refuses: report it instead
            return wire.build_msg(_next_id(), request_id,
                                  CommandError(1, "cannot encode reply: %s" % exc).to_reply())

    def _legacy_query(self, req):
        query = req.body
        filt = query.get("$query", query) if isinstance(query.get("$query"), dict) else query
        find = {"find": req.collection, "filter": filt, "skip": req.skip,
                "limit": abs(req.limit) if req.limit else 0, "singleBatch": True}
        if "orderby" in query or "$orderby" in query:
            find["sort"] = query.get("$orderby", query.get("orderby"))
        if req.fields:
            find["projection"] = req.fields
        req.body = find
        reply = self.execute(req)
        if reply.get("ok") != 1.0:
            err = {"$err": reply.get("errmsg"), "code": reply.get("code")}
            return wire.build_reply(_next_id(), req.request_id, [err],
                                    flags=wire.REPLY_QUERY_FAILURE)
        docs = reply["cursor"]["firstBatch"]
        return wire.build_reply(_next_id(), req.request_id, docs)

    def execute(self, req):
        """Runs one command and returns its reply document."""
        node = self.node
        try:
            if not req.body:
                raise CommandError(59, "no such command: ''")
            inv = registry.Invocation(node, self, req)
            entry = self.server.commands.get(inv.name)
            if entry is None:
                raise CommandError(59, "no such command: '%s'" % inv.name)
            if node.auth_enabled and entry.auth and not self.users and \
                    not self._localhost_exception(inv.name):
                raise CommandError(13, "command %s requires authentication" % inv.name)
            if entry.admin_only and req.db != "admin":
                raise CommandError(13, "%s may only be run against the admin database." % inv.name)
            if entry.reads and node.repl is not None and not node.repl.is_writable_primary():
                if not node.repl.is_readable():
                    raise CommandError(13436, "node is not in primary or recovering state",
                                       "NotPrimaryOrSecondary")
                if not inv.allows_secondary_reads():
                    raise CommandError(13435, "not master and slaveOk=false")
            op_id = id(inv)
            inv.started = time.monotonic()
            node.active_ops[op_id] = (self, inv)
            try:
                if entry.locked:
                    with node.lock:
                        reply = entry.fn(inv)
                else:
                    reply = entry.fn(inv)
            finally:
                node.active_ops.pop(op_id, None)
            reply = dict(reply or {})
            reply["ok"] = 1.0
        except CommandError as exc:
            reply = exc.to_reply()
        except ShutdownRequested:
            raise
        except Exception as exc:  # a fault in the kit must not kill the connection
            # Only the name: command bodies may hold passwords.
            log.log("COMMAND", "command failed unexpectedly", severity="E",
                    command=next(iter(req.body or {"": 0})), error=repr(exc))
            reply = CommandError(1, "internal error: %r" % (exc,)).to_reply()
        return self._with_cluster_time(reply)

    # Before the first user exists, a loopback client may set the server up.
    LOCALHOST_EXCEPTION = ("createUser", "replSetInitiate", "replSetGetStatus")

    def _localhost_exception(self, name):
        return name in self.LOCALHOST_EXCEPTION and self.is_loopback and \
            not self.node.has_users()

    def _with_cluster_time(self, reply):
        # Replica-set members and routers gossip the cluster time from 3.6 on.
        ts = self.node.cluster_time()
        if ts is None or kitconfig.version_tuple() < (3, 6, 0):
            return reply
        reply["$clusterTime"] = {"clusterTime": ts,
                                 "signature": {"hash": Binary(b"\x00" * 20, 0), "keyId": Int64(0)}}
        reply["operationTime"] = ts
        return reply


class Server:
    """Listeners on every bind address; stops on request."""

    def __init__(self, node, ssl_context=None, tls_mode="disabled", commands=None):
        """commands: the dispatch table (name -> CommandSpec); a router
        process passes its own, mongod uses registry.COMMANDS."""
        self.node = node
        self.commands = commands if commands is not None else registry.COMMANDS
        self.ssl_context = ssl_context
        self.tls_mode = tls_mode
        self.listeners = []
        self.threads = []

    def listen(self, addresses, port):
        """Binds every address; raises OSError when one cannot be bound."""
        for addr in addresses:
            family = socket.AF_INET6 if ":" in addr else socket.AF_INET
            sock = socket.socket(family, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                sock.bind((addr, port))
                sock.listen(128)
            except OSError:
                sock.close()
                self.close_listeners()
                raise
            self.listeners.append(sock)

    def serve(self):
        for sock in self.listeners:
            t = threading.Thread(target=self._accept_loop, args=(sock,),
                                 name="listener", daemon=True)
            t.start()
            self.threads.append(t)

    def _accept_loop(self, lsock):
        while not self.node.stopping.is_set():
            try:
                sock, peer = lsock.accept()
            except OSError:
                break
            if self.node.stopping.is_set():
                sock.close()
                break
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn = ClientConnection(self, sock, peer)
            threading.Thread(target=conn.run, name="conn%d" % conn.id, daemon=True).start()

    def close_listeners(self):
        for sock in self.listeners:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        self.listeners = []

    def stop(self):
        self.close_listeners()
        with self.node.lock:
            conns = list(self.node.connections.values())
        for conn in conns:
            conn.close()
