"""The state of one server process and the one write path every change
takes: storage, oplog, fsync lock, cursors and users.

Locking: one re-entrant engine lock (Node.lock) guards all of it. Commands
run holding it; anything that waits (awaitData getMore, a write blocked by
an fsync lock, write concern) waits on Node.cond, which releases the lock.
"""
import datetime
import os
import socket
import threading
import time

from bson import Int64, ObjectId
from bson.timestamp import Timestamp

from . import scram
from .errors import CommandError
from .logsink import log
from .storage import ID_INDEX, StorageEngine

OPLOG_NS = ("local", "oplog.rs")
DEFAULT_OPLOG_MB = 64
CURSOR_BATCH = 101


def utcnow():
    return datetime.datetime.now(datetime.timezone.utc)


class Cursor:
    def __init__(self, cursor_id, db, coll, docs, batch_size=0, limit=0, tailable=False,
                 await_data=False, filter_=None, projection=None, last_key=None):
        self.id = cursor_id
        self.db = db
        self.coll = coll
        self.docs = docs
        self.pos = 0
        self.batch_size = batch_size
        self.limit_left = limit
        self.tailable = tailable
        self.await_data = await_data
        self.filter = filter_
        self.projection = projection
        self.last_key = last_key
        self.touched = time.monotonic()

    @property
    def ns(self):
        return "%s.%s" % (self.db, self.coll)


class ServerState:
    """What every server process keeps, data-bearing or not: connections,
    cursors, running operations, the stop flag and authentication."""

    def __init__(self, options):
        self.options = options
        self.lock = threading.RLock()
        self.cond = threading.Condition(self.lock)
        self.start_time = time.time()
        self.instance_id = ObjectId()
        self.cursors = {}
        self.connections = {}
        self._next_conn_id = 1
        self.stopping = threading.Event()
        self.repl = None          # a ReplCoordinator when --replSet is given
        self.port = options.get("net.port") or 27017
        self.bind_ips = []
        self.auth_enabled = False
        self.internal_key = None  # the keyFile secret: credentials of __system
        self._internal_creds = {}
        self.active_ops = {}
        self.shutdown_hook = None

    def register_connection(self, conn):
        with self.lock:
            conn_id = self._next_conn_id
            self._next_conn_id += 1
            self.connections[conn_id] = conn
            return conn_id

    def unregister_connection(self, conn_id):
        with self.lock:
            self.connections.pop(conn_id, None)

    def cluster_time(self):
        """The time this server gossips in replies ($clusterTime,
        operationTime), or None where servers send none."""
        return None

    def wake(self):
        with self.lock:
            self.cond.notify_all()

    # ---- cursors --------------------------------------------------------------
    def new_cursor(self, **kwargs):
        cursor_id = 0
        while cursor_id == 0 or cursor_id in self.cursors:
            cursor_id = int.from_bytes(os.urandom(8), "little") & 0x7FFFFFFFFFFFFFFF
        cursor = Cursor(cursor_id, **kwargs)
        self.cursors[cursor_id] = cursor
        return cursor

    def reap_cursors(self, idle_seconds=600):
        cutoff = time.monotonic() - idle_seconds
        for cid in [c.id for c in self.cursors.values() if c.touched < cutoff]:
            del self.cursors[cid]

    # ---- users ----------------------------------------------------------------
    def user_document(self, db, user):
        """The stored user db.user (admin.system.users), or None."""
        raise NotImplementedError

    def has_users(self):
        raise NotImplementedError

    def user_credentials(self, db, user, mechanism):
        if db == "local" and user == "__system" and self.internal_key is not None:
            if mechanism not in self._internal_creds:
                self._internal_creds[mechanism] = scram.make_credentials(
                    mechanism, "__system", self.internal_key)
            return self._internal_creds[mechanism]
        doc = self.user_document(db, user)
        return (doc.get("credentials") or {}).get(mechanism) if doc else None

    def user_mechanisms(self, db, user):
        doc = self.user_document(db, user)
        return list((doc.get("credentials") or {}).keys()) if doc else []


class Node(ServerState):
    """A mongod: storage, oplog and fsync lock on top of the server state."""

    def __init__(self, options, dbpath):
        super().__init__(options)
        self.dbpath = dbpath
        self.storage = StorageEngine(dbpath)
        self.fsync_lock_count = 0
        self.last_ts = Timestamp(0, 0)

    # ---- start-up -------------------------------------------------------
    def open(self):
        self.storage.open()
        oplog = self.oplog()
        if oplog and oplog.docs:
            last = next(reversed(oplog.docs.values()))
            self.last_ts = last["ts"]

    @staticmethod
    def local_ips():
        try:
            return set(socket.gethostbyname_ex(socket.gethostname())[2])
        except OSError:
            return set()

    # ---- oplog ------------------------------------------------------------
    def oplog(self):
        return self.storage.collection(*OPLOG_NS)

    def ensure_oplog(self):
        if self.oplog() is None:
            size_mb = self.options.get("replication.oplogSizeMB") or DEFAULT_OPLOG_MB
            self.storage.create_collection(*OPLOG_NS, options={
                "capped": True, "size": max(1024, int(float(size_mb) * 1024 * 1024))})
        return self.oplog()

    def next_timestamp(self):
        now = int(time.time())
        if now > self.last_ts.time:
            ts = Timestamp(now, 1)
        else:
            ts = Timestamp(self.last_ts.time, self.last_ts.inc + 1)
        self.last_ts = ts
        return ts

    def cluster_time(self):
        """The time this server gossips in replies ($clusterTime,
        operationTime), or None where servers send none (stand-alone)."""
        if self.repl is None or not self.repl.has_config():
            return None
        return self.last_ts if self.last_ts.time else Timestamp(0, 0)

    def replicates(self, db):
        return self.repl is not None and self.repl.has_config() and db != "local"

    def log_op(self, op, ns, o, o2=None):
        """Appends one entry to the oplog when this member replicates."""
        if not self.replicates(ns.split(".", 1)[0]):
            return None
        entry = {"ts": self.next_timestamp(), "t": Int64(self.repl.term), "v": Int64(2),
                 "op": op, "ns": ns}
        entry["o"] = o
        if o2 is not None:
            entry["o2"] = o2
        entry["wall"] = utcnow()
        self.ensure_oplog().put(entry)
        self.repl.on_local_oplog(entry)
        self.cond.notify_all()
        return entry

    # ---- the write path -----------------------------------------------------
    def begin_write(self, db):
        """Waits out an fsync lock, then checks this member may take writes
        to db. Must be called with the lock held."""
        self.check_can_write(db)
        while self.fsync_lock_count > 0 and not self.stopping.is_set():
            self.cond.wait(1.0)
        if self.stopping.is_set():
            raise CommandError(11600, "interrupted at shutdown", "InterruptedAtShutdown")
        self.check_can_write(db)

    def check_can_write(self, db):
        if db == "local" or self.repl is None:
            return
        if not self.repl.is_writable_primary():
            raise CommandError(10107, "not master", "NotWritablePrimary")

    def collection_for_write(self, db, coll):
        """The collection, created (and logged) when it does not exist yet."""
        existing = self.storage.collection(db, coll)
        if existing:
            return existing
        self.check_namespace(db, coll)
        created = self.storage.create_collection(db, coll, {})
        self.log_op("c", "%s.$cmd" % db, {"create": coll, "idIndex": ID_INDEX})
        return created

    @staticmethod
    def check_namespace(db, coll):
        if not db or any(c in db for c in '/\\. "$*<>:|?'):
            raise CommandError(73, "Invalid database name: '%s'" % db)
        if not coll or "$" in coll or coll.startswith("."):
            raise CommandError(73, "Invalid collection name: %s" % coll)

    def insert(self, db, coll, doc):
        c = self.collection_for_write(db, coll)
        c.insert(doc)
        self.log_op("i", c.ns, doc)

    def replace(self, db, coll, doc, oplog_o):
        c = self.collection_for_write(db, coll)
        c.put(doc)
        self.log_op("u", c.ns, oplog_o, {"_id": doc["_id"]})

    def remove(self, db, coll, _id):
        c = self.storage.collection(db, coll)
        if c and c.delete(_id):
            self.log_op("d", c.ns, {"_id": _id})

    def create_collection(self, db, coll, options):
        self.check_namespace(db, coll)
        self.storage.create_collection(db, coll, options)
        cmd = {"create": coll}
        cmd.update(options)
        self.log_op("c", "%s.$cmd" % db, cmd)

    def create_index(self, db, coll, index_doc):
        """Adds an index index_doc (the collection is created if missing)."""
        c = self.collection_for_write(db, coll)
        c.set_indexes(c.indexes + [index_doc])
        self.log_op("c", "%s.$cmd" % db, dict({"createIndexes": coll}, **index_doc))

    def drop_index(self, db, coll, name):
        c = self.storage.collection(db, coll)
        c.set_indexes([i for i in c.indexes if i["name"] != name])
        self.log_op("c", "%s.$cmd" % db, {"dropIndexes": coll, "index": name})

    def drop_collection(self, db, coll):
        if self.storage.drop_collection(db, coll):
            self.log_op("c", "%s.$cmd" % db, {"drop": coll})
            return True
        return False

    def drop_database(self, db):
        if self.storage.drop_database(db):
            self.log_op("c", "%s.$cmd" % db, {"dropDatabase": 1})
            return True
        return False

    # ---- fsync lock -----------------------------------------------------------
    def fsync_lock(self):
        self.storage.fsync_all()
        self.fsync_lock_count += 1
        self.storage.frozen = True
        log.log("COMMAND", "CMD fsync: lock", lockCount=self.fsync_lock_count)
        return self.fsync_lock_count

    def fsync_unlock(self):
        if self.fsync_lock_count == 0:
            raise CommandError(125, "fsyncUnlock called when not locked")
        self.fsync_lock_count -= 1
        if self.fsync_lock_count == 0:
            self.storage.frozen = False
            if self.repl:
                self.repl.on_unfrozen()
        self.cond.notify_all()
        log.log("COMMAND", "fsyncUnlock", lockCount=self.fsync_lock_count)
        return self.fsync_lock_count

    # ---- users ----------------------------------------------------------------
    def user_document(self, db, user):
        users = self.storage.collection("admin", "system.users")
        return users.get("%s.%s" % (db, user)) if users else None

    def has_users(self):
        users = self.storage.collection("admin", "system.users")
        return bool(users and users.docs)
