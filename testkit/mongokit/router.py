"""The router (mongos): its server state and the cluster catalog, which
lives only in the config servers' config database, as with MongoDB:

    config.version      {_id: 1, minCompatibleVersion, currentVersion, clusterId}
    config.shards       {_id: shard name, host: "set/h:p,...", state: 1}
    config.databases    {_id: db, primary: shard name, partitioned, version: {uuid, lastMod}}
    config.collections  {_id: "db.coll", lastmodEpoch, lastmod, dropped, key, unique, uuid,
                         distributionMode}
    config.chunks       one chunk per sharded collection, on the primary shard
    config.settings     {_id: "balancer", mode, stopped}
    config.mongos       {_id: "host:port", ping, up, mongoVersion, ...} per router

The router reaches the config replica set and every shard with pymongo
clients (replica-set discovery, fail-over, the members' key file and TLS).
It keeps only a short-lived copy of the shard list; everything else is
read from the config servers when needed, so several routers, or a config
server edited by hand, stay consistent. Chunks never split or move: a
collection's documents stay on the shard that received them.
"""
import socket
import threading
import time
import uuid

import pymongo
from bson import Binary, Int64, MaxKey, MinKey, ObjectId
from bson.timestamp import Timestamp
from pymongo import ReadPreference, errors
from pymongo.write_concern import WriteConcern

from . import kitconfig, tlsconfig
from .errors import CommandError
from .node import ServerState, utcnow
from .wire import CODEC

# How long a config server or shard without a reachable primary may make a
# command wait before it fails (pymongo's server selection).
SERVER_SELECTION_MS = 10000
# How long the shard list read from config.shards is reused.
SHARD_CACHE_SECONDS = 1.0
# How often the router refreshes its config.mongos document.
PING_INTERVAL = 30.0
NOT_SHARDED_DBS = ("admin", "config", "local")

_MODES = {"primary": ReadPreference.PRIMARY,
          "primaryPreferred": ReadPreference.PRIMARY_PREFERRED,
          "secondary": ReadPreference.SECONDARY,
          "secondaryPreferred": ReadPreference.SECONDARY_PREFERRED,
          "nearest": ReadPreference.NEAREST}


def parse_connection_string(text):
    """(set name or None, ["host:port", ...]) of "set/h:p,h:p" or "h:p,h:p";
    raises ValueError when a host has no usable port."""
    text = (text or "").strip().strip("\"'")
    set_name, slash, rest = text.partition("/")
    if not slash:
        set_name, rest = None, text
    hosts = [h.strip() for h in rest.split(",") if h.strip()]
    if not hosts or (slash and not set_name):
        raise ValueError("invalid connection string: '%s'" % text)
    for h in hosts:
        host, colon, port = h.rpartition(":")
        if not colon or not host or not port.isdigit():
            raise ValueError("invalid host '%s' in connection string '%s'" % (h, text))
    return set_name, hosts


def routing_error(exc, where, read_pref=ReadPreference.PRIMARY):
    """The error a router reports for a pymongo failure reaching where."""
    if isinstance(exc, errors.ServerSelectionTimeoutError):
        return CommandError(133, 'Could not find host matching read preference { mode: "%s" } '
                            'for set %s' % (read_pref.mongos_mode, where),
                            "FailedToSatisfyReadPreference")
    if isinstance(exc, errors.OperationFailure):
        details = exc.details or {}
        return CommandError(exc.code or 1, details.get("errmsg", str(exc)),
                            details.get("codeName"))
    return CommandError(6, "%s: %s" % (where, exc), "HostUnreachable")


def read_preference(inv):
    """The pymongo read preference a client asked for (primary by default)."""
    pref = inv.body.get("$readPreference")
    mode = pref.get("mode") if isinstance(pref, dict) else None
    if mode is None and inv.request.secondary_ok:
        return ReadPreference.PRIMARY_PREFERRED
    return _MODES.get(mode, ReadPreference.PRIMARY)


def forwarded_body(body):
    """A client's command as the router passes it on: without the fields
    that belong to the client's own connection."""
    return {k: v for k, v in body.items()
            if not k.startswith("$") and k not in ("lsid", "txnNumber", "autocommit")}


class Catalog:
    """Clients of the config replica set and of the shards, and the
    metadata reads and writes the router's commands need."""

    def __init__(self, config_set, config_hosts, client_kwargs, on_reply):
        self.config_set = config_set
        self.config_seeds = config_hosts
        self._kwargs = client_kwargs
        self._on_reply = on_reply
        self.config = self._client(config_set, config_hosts)
        self._shard_clients = {}
        self._shards = None
        self._shards_at = 0.0
        self._lock = threading.Lock()

    def _client(self, set_name, hosts):
        return pymongo.MongoClient(
            hosts, replicaSet=set_name, document_class=dict, tz_aware=True,
            uuidRepresentation="unspecified", serverSelectionTimeoutMS=SERVER_SELECTION_MS,
            connectTimeoutMS=2000, appname="mongos", **self._kwargs)

    def close(self):
        with self._lock:
            clients = [c for _, c in self._shard_clients.values()] + [self.config]
            self._shard_clients = {}
        for client in clients:
            client.close()

    # ---- running commands ---------------------------------------------------
    def run(self, client, db, body, read_pref=ReadPreference.PRIMARY):
        """One command on a config server or shard; the reply, ok or not.
        Unreachable targets raise CommandError as a router reports them."""
        try:
            reply = client.get_database(db, codec_options=CODEC).command(
                body, check=False, read_preference=read_pref, codec_options=CODEC)
        except errors.PyMongoError as exc:
            raise routing_error(exc, self._set_of(client), read_pref)
        self._on_reply(reply)
        return reply

    def checked(self, client, db, body, read_pref=ReadPreference.PRIMARY):
        """As run(), raising the target's error when it refuses."""
        reply = self.run(client, db, body, read_pref)
        if reply.get("ok") != 1:
            raise CommandError(reply.get("code", 1), reply.get("errmsg", "command failed"),
                               reply.get("codeName"))
        return reply

    def drain(self, client, db, find, read_pref=ReadPreference.PRIMARY):
        """Every document a find command returns, through all its batches."""
        reply = self.checked(client, db, dict(find, batchSize=10000), read_pref)
        cursor = reply["cursor"]
        docs = list(cursor["firstBatch"])
        while cursor["id"]:
            cursor = self.checked(client, db, {"getMore": cursor["id"],
                                               "collection": find["find"]},
                                  read_pref)["cursor"]
            docs.extend(cursor["nextBatch"])
        return docs

    def _set_of(self, client):
        if client is self.config:
            return self.config_set
        for name, (_, c) in self._shard_clients.items():
            if c is client:
                return name
        return ",".join("%s:%d" % a for a in client.topology_description.server_descriptions())

    # ---- the config replica set --------------------------------------------
    def config_db(self):
        return self.config.get_database("config", codec_options=CODEC,
                                        write_concern=WriteConcern("majority", wtimeout=30000))

    def config_connection_string(self):
        """"set/h:p,..." of the config servers, as their primary reports them."""
        hello = self.checked(self.config, "admin", {"isMaster": 1})
        hosts = list(hello.get("hosts") or []) + list(hello.get("passives") or [])
        return "%s/%s" % (self.config_set, ",".join(hosts or self.config_seeds))

    def wait_for_config(self, timeout):
        """Waits until the config servers have a primary; False on timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                hello = self.run(self.config, "admin", {"isMaster": 1})
                if hello.get("ismaster"):
                    return True
            except CommandError:
                pass
            time.sleep(0.2)
        return False

    def cluster_id(self):
        """The cluster's id from config.version, created on first use."""
        coll = self.config_db().version
        doc = coll.find_one({"_id": 1})
        if doc is None:
            try:
                coll.insert_one({"_id": 1, "minCompatibleVersion": 5, "currentVersion": 6,
                                 "clusterId": ObjectId()})
            except errors.DuplicateKeyError:
                pass
            doc = coll.find_one({"_id": 1})
        return doc["clusterId"]

    def announce(self, name, started):
        """Records this router in config.mongos."""
        self.config_db().mongos.update_one(
            {"_id": name},
            {"$set": {"ping": utcnow(), "up": Int64(int(time.time() - started)), "waiting": True,
                      "mongoVersion": kitconfig.version(), "advisoryHostFQDNs": []}},
            upsert=True)

    # ---- shards -------------------------------------------------------------
    def shards(self, refresh=False):
        """The config.shards documents, in their stored order."""
        with self._lock:
            fresh = self._shards is not None and \
                time.monotonic() - self._shards_at < SHARD_CACHE_SECONDS
            if fresh and not refresh:
                return list(self._shards)
        shards = list(self.config_db().shards.find({}))
        with self._lock:
            self._shards, self._shards_at = shards, time.monotonic()
        return list(shards)

    def shard(self, name):
        """The client of shard name."""
        doc = next((s for s in self.shards() if s["_id"] == name), None)
        if doc is None:
            doc = next((s for s in self.shards(refresh=True) if s["_id"] == name), None)
        if doc is None:
            raise CommandError(70, "Shard %s not found" % name, "ShardNotFound")
        with self._lock:
            known = self._shard_clients.get(name)
            if known and known[0] == doc["host"]:
                return known[1]
        set_name, hosts = parse_connection_string(doc["host"])
        client = self._client(set_name, hosts)
        with self._lock:
            old = self._shard_clients.get(name)
            self._shard_clients[name] = (doc["host"], client)
        if old:
            old[1].close()
        return client

    def shard_clients(self):
        """(name, client) of every shard."""
        return [(s["_id"], self.shard(s["_id"])) for s in self.shards()]

    def direct_client(self, host):
        """A client of one server (no replica-set discovery), such as a
        shard's seed before the router knows its set."""
        return pymongo.MongoClient(
            host, directConnection=True, document_class=dict, tz_aware=True,
            uuidRepresentation="unspecified", serverSelectionTimeoutMS=SERVER_SELECTION_MS // 2,
            connectTimeoutMS=2000, appname="mongos", **self._kwargs)

    def set_client(self, set_name, hosts):
        return self._client(set_name, hosts)

    # ---- databases and collections ------------------------------------------
    def database(self, db):
        """db's config.databases document, or None."""
        return self.config_db().databases.find_one({"_id": db})

    def ensure_database(self, db):
        """db's config.databases document, created on first use with the
        shard holding the least data as its primary shard."""
        doc = self.database(db)
        if doc is not None:
            return doc
        if db in NOT_SHARDED_DBS:
            raise CommandError(20, "cannot create database '%s' on a shard" % db,
                               "IllegalOperation")
        shards = self.shard_clients()
        if not shards:
            raise CommandError(70, "Database %s could not be created :: caused by :: No shards "
                               "found" % db, "ShardNotFound")
        sizes = []
        for name, client in shards:
            reply = self.checked(client, "admin", {"listDatabases": 1})
            sizes.append((float(reply.get("totalSize", 0)), name))
        primary = min(sizes, key=lambda s: s[0])[1]
        doc = {"_id": db, "primary": primary, "partitioned": False,
               "version": {"uuid": Binary.from_uuid(uuid.uuid4()), "lastMod": 1}}
        try:
            self.config_db().databases.insert_one(doc)
        except errors.DuplicateKeyError:
            doc = self.database(db)
        return doc

    def sharded_collection(self, ns):
        """ns's config.collections document when it is sharded, else None."""
        return self.config_db().collections.find_one({"_id": ns, "dropped": False})

    def record_sharded(self, ns, key, unique, coll_uuid, shard):
        epoch = ObjectId()
        now = utcnow()
        self.config_db().collections.replace_one(
            {"_id": ns},
            {"_id": ns, "lastmodEpoch": epoch, "lastmod": now, "dropped": False, "key": key,
             "unique": unique, "uuid": coll_uuid, "distributionMode": "sharded"},
            upsert=True)
        first = "_".join("%s_MinKey" % k for k in key)
        self.config_db().chunks.replace_one(
            {"_id": "%s-%s" % (ns, first)},
            {"_id": "%s-%s" % (ns, first), "ns": ns,
             "min": {k: MinKey() for k in key}, "max": {k: MaxKey() for k in key},
             "shard": shard, "lastmod": Timestamp(1, 0), "lastmodEpoch": epoch,
             "history": [{"validAfter": Timestamp(int(time.time()), 0), "shard": shard}]},
            upsert=True)

    def forget_collections(self, ns_regex):
        """Marks sharded collections dropped (as 4.4 does) and drops their chunks."""
        db = self.config_db()
        db.collections.update_many({"_id": {"$regex": ns_regex}, "dropped": False},
                                   {"$set": {"dropped": True, "lastmod": utcnow()}})
        db.chunks.delete_many({"ns": {"$regex": ns_regex}})

    def balancer_settings(self):
        return self.config_db().settings.find_one({"_id": "balancer"}) or {}

    def set_balancer(self, running):
        self.config_db().settings.update_one(
            {"_id": "balancer"}, {"$set": {"mode": "full" if running else "off",
                                           "stopped": not running}}, upsert=True)


class RouterNode(ServerState):
    """What the router's connections share: the catalog, router cursors,
    the cluster time it has seen, and users kept on the config servers."""

    def __init__(self, options, client_kwargs):
        super().__init__(options)
        set_name, hosts = parse_connection_string(options.get("sharding.configDB"))
        self._time_lock = threading.Lock()
        self._seen_time = Timestamp(0, 0)
        self.catalog = Catalog(set_name, hosts, client_kwargs, self._note_reply)

    def _note_reply(self, reply):
        ts = reply.get("operationTime")
        if isinstance(ts, Timestamp):
            with self._time_lock:
                if ts > self._seen_time:
                    self._seen_time = ts

    def cluster_time(self):
        with self._time_lock:
            return self._seen_time

    def user_document(self, db, user):
        users = self.catalog.config.get_database("admin", codec_options=CODEC)["system.users"]
        return users.find_one({"_id": "%s.%s" % (db, user)})

    def has_users(self):
        users = self.catalog.config.get_database("admin", codec_options=CODEC)["system.users"]
        return users.find_one({}, {"_id": 1}) is not None

    def host_name(self):
        return "%s:%d" % (socket.gethostname(), self.port)


def client_options(options, internal_key=None):
    """pymongo options for the router's own connections: the members' key
    (as __system) and the TLS settings it listens with."""
    kwargs = tlsconfig.member_client_options(options)
    if internal_key:
        kwargs.update(username="__system", password=internal_key, authSource="local",
                      authMechanism="SCRAM-SHA-256")
    return kwargs
