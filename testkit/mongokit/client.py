"""A small synchronous client for the kit's own member-to-member traffic
(heartbeats, oplog fetching, initial sync) and for tools that need a plain
command channel. It speaks OP_MSG and authenticates with SCRAM."""
import socket
import threading

from bson import Binary

from . import kitconfig, wire
from .errors import CommandError, ProtocolError
from .scram import ClientConversation


class ConnectionFailure(Exception):
    """The peer could not be reached or the connection broke."""


class Client:
    _ids = 0
    _ids_lock = threading.Lock()

    def __init__(self, host, port, ssl_context=None, timeout=2.0, credentials=None):
        """credentials: (user, password, source db, mechanism) or None."""
        self.host = host
        self.port = int(port)
        self.ssl_context = ssl_context
        self.timeout = timeout
        self.credentials = credentials
        self.sock = None

    @classmethod
    def for_address(cls, address, **kwargs):
        host, _, port = address.rpartition(":")
        return cls(host, int(port), **kwargs)

    def _next_id(self):
        with Client._ids_lock:
            Client._ids += 1
            return Client._ids

    def connect(self):
        try:
            ip = kitconfig.resolve(self.host)
            sock = socket.create_connection((ip, self.port), timeout=self.timeout)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.ssl_context is not None:
                sock = self.ssl_context.wrap_socket(sock, server_hostname=self.host)
        except OSError as exc:
            raise ConnectionFailure("Error connecting to %s:%d :: caused by :: %s"
                                    % (self.host, self.port, exc.strerror or exc))
        self.sock = sock
        if self.credentials:
            self._authenticate(*self.credentials)

    def _authenticate(self, user, password, source, mechanism):
        conv = ClientConversation(mechanism, user, password)
        reply = self.command(source, {"saslStart": 1, "mechanism": mechanism,
                                      "payload": Binary(conv.first()),
                                      "options": {"skipEmptyExchange": True}})
        reply = self.command(source, {"saslContinue": 1, "conversationId": reply["conversationId"],
                                      "payload": Binary(conv.final(bytes(reply["payload"])))})
        conv.verify(bytes(reply["payload"]))
        while not reply.get("done"):
            reply = self.command(source, {"saslContinue": 1, "conversationId":
                                          reply["conversationId"], "payload": Binary(b"")})

    def _recv_exact(self, n):
        chunks, got = [], 0
        while got < n:
            chunk = self.sock.recv(n - got)
            if not chunk:
                raise ConnectionFailure("connection closed by %s:%d" % (self.host, self.port))
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    def command(self, db, doc, timeout=None, check=True):
        """Runs one command; returns the reply, raising CommandError when
        ok is not 1 (unless check is False) and ConnectionFailure on I/O."""
        if self.sock is None:
            self.connect()
        body = dict(doc)
        body["$db"] = db
        try:
            self.sock.settimeout(timeout if timeout is not None else self.timeout)
            self.sock.sendall(wire.build_msg(self._next_id(), 0, body))
            header, payload = wire.read_message(self._recv_exact)
            reply = wire.parse_reply_payload(header[2], payload)
        except (OSError, ProtocolError, TypeError) as exc:
            self.close()
            raise ConnectionFailure("%s:%d: %s" % (self.host, self.port, exc))
        if check and reply.get("ok") != 1:
            raise CommandError(reply.get("code", 1), reply.get("errmsg", "command failed"),
                               reply.get("codeName"))
        return reply

    def close(self):
        if self.sock is not None:
            try:
                self.sock.close()
            except OSError:
                pass
            self.sock = None
