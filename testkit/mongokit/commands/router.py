"""The router's (mongos) command table.

Cluster commands keep their metadata in the config servers (see router.py).
Data commands are routed as a mongos routes them when no chunk ever moves:
writes and collection creation go to the database's primary shard (chosen
on first use), reads (find, count, distinct, aggregate, listings, stats)
are gathered from every shard, the admin and config databases live on the
config servers. Commands run without the engine lock: they wait on other
servers, and the router has no storage of its own.
"""
import functools
import re
import socket

from bson import Binary, Int64
from pymongo import errors

from ..bsonvalues import equal
from ..errors import CommandError
from ..query import matches
from ..router import (NOT_SHARDED_DBS, forwarded_body, parse_connection_string,
                      read_preference, routing_error)
from . import crud
from .handshake import hello_common, status_common, writable_key
from .registry import command, share

ROUTER = {}

share(ROUTER, "ping", "buildInfo", "buildinfo", "whatsmyuri", "connectionStatus",
      "getCmdLineOpts", "getParameter", "hostInfo", "getLog", "endSessions",
      "killAllSessions", "refreshSessions", "saslStart", "saslContinue", "logout", "shutdown",
      locked=False)
share(ROUTER, "getMore", "killCursors")


def route(*names, **options):
    """Registers a router command; failures reaching the config servers
    through pymongo become the router's errors."""
    def register(fn):
        @functools.wraps(fn)
        def guarded(inv):
            try:
                return fn(inv)
            except errors.PyMongoError as exc:
                raise routing_error(exc, _catalog(inv).config_set)
        return command(*names, table=ROUTER, locked=False, **options)(guarded)
    return register


def _catalog(inv):
    return inv.node.catalog


def _result(reply):
    """A shard's or config server's reply as the router's own: its error
    raised, its gossip fields dropped ("ok" is added again)."""
    if reply.get("ok") != 1:
        extra = {k: v for k, v in reply.items()
                 if k in ("writeErrors", "writeConcernError", "errInfo")}
        raise CommandError(reply.get("code", 1), reply.get("errmsg", "command failed"),
                           reply.get("codeName"), extra)
    return {k: v for k, v in reply.items()
            if k not in ("ok", "$clusterTime", "operationTime", "$gleStats", "$configServerState",
                         "lastCommittedOpTime", "$topologyTime")}


def _data_db(inv):
    if inv.db == "local":
        raise CommandError(20, "can't use 'local' database through mongos", "IllegalOperation")
    return inv.db


def _write_target(inv):
    """The client that takes inv's writes: the config servers for admin and
    config, else the database's primary shard."""
    cat = _catalog(inv)
    db = _data_db(inv)
    if db in NOT_SHARDED_DBS:
        return cat.config
    return cat.shard(cat.ensure_database(db)["primary"])


def _read_targets(inv):
    """(name, client) of every server that may hold inv's database."""
    cat = _catalog(inv)
    if _data_db(inv) in NOT_SHARDED_DBS:
        return [("config", cat.config)]
    return cat.shard_clients()


def _gather(inv, body):
    """The checked replies of body run on every server of inv's database."""
    cat = _catalog(inv)
    pref = read_preference(inv)
    return [(name, cat.checked(client, inv.db, body, pref)) for name, client in _read_targets(inv)]


def _drain_all(inv, find):
    cat = _catalog(inv)
    pref = read_preference(inv)
    docs = []
    for _, client in _read_targets(inv):
        docs.extend(cat.drain(client, inv.db, find, pref))
    return docs


# ---- handshake and server information ------------------------------------------

@route("hello", "isMaster", "ismaster", auth=False)
def hello(inv):
    return hello_common(inv, {writable_key(inv): True, "msg": "isdbgrid"})


@route("isdbgrid")
def isdbgrid(inv):
    return {"isdbgrid": 1, "hostname": socket.gethostname()}


@route("serverStatus")
def server_status(inv):
    reply = status_common(inv.node, "mongos")
    reply["sharding"] = {"configsvrConnectionString": _catalog(inv).config_connection_string(),
                         "maxChunkSizeInBytes": Int64(64 * 1024 * 1024)}
    return reply


@route("flushRouterConfig", admin_only=True)
def flush_router_config(inv):
    _catalog(inv).shards(refresh=True)
    return {"flushed": True}


# ---- the cluster ----------------------------------------------------------------

@route("listShards", admin_only=True)
def list_shards(inv):
    return {"shards": _catalog(inv).shards(refresh=True)}


@route("getShardMap", admin_only=True)
def get_shard_map(inv):
    cat = _catalog(inv)
    shard_map = {s["_id"]: s["host"] for s in cat.shards(refresh=True)}
    shard_map["config"] = cat.config_connection_string()
    hosts, conn_strings = {}, {}
    for name, text in shard_map.items():
        conn_strings[text] = name
        for host in text.split("/", 1)[-1].split(","):
            hosts[host] = name
    return {"map": shard_map, "hosts": hosts, "connStrings": conn_strings}


def _shard_hello(inv, text):
    """The hello of the first seed of a proposed shard that answers, after
    checking it can be a shard."""
    cat = _catalog(inv)
    try:
        given_set, seeds = parse_connection_string(text)
    except ValueError as exc:
        raise CommandError(9, str(exc), "FailedToParse")
    failures = []
    for seed in seeds:
        probe = cat.direct_client(seed)
        try:
            hello_reply = cat.checked(probe, "admin", {"isMaster": 1})
            opts = cat.checked(probe, "admin", {"getCmdLineOpts": 1})
            break
        except CommandError as exc:
            failures.append("%s: %s" % (seed, exc.errmsg))
        finally:
            probe.close()
    else:
        raise CommandError(6, "Failed to connect to the shard %s: %s" % (text, "; ".join(failures)),
                           "HostUnreachable")
    set_name = hello_reply.get("setName")
    if hello_reply.get("msg") == "isdbgrid":
        raise CommandError(96, "can't add a mongos process as a shard", "OperationFailed")
    if not set_name:
        raise CommandError(96, "host %s is not a replica set member; shards must be replica sets"
                           % text, "OperationFailed")
    if given_set and given_set != set_name:
        raise CommandError(96, "the provided connection string (%s) does not match the actual "
                           "set name %s" % (text, set_name), "OperationFailed")
    if "configsvr" in hello_reply:
        raise CommandError(96, "Cannot add %s as a shard since it is a config server" % text,
                           "OperationFailed")
    if ((opts.get("parsed") or {}).get("sharding") or {}).get("clusterRole") != "shardsvr":
        raise CommandError(96, "Cannot add %s as a shard since it was not started with "
                           "--shardsvr" % text, "OperationFailed")
    return hello_reply


def _adopt_databases(inv, client, shard_name, shard_text):
    """Records the databases the new shard already holds, refusing ones
    another shard owns."""
    cat = _catalog(inv)
    names = cat.checked(client, "admin", {"listDatabases": 1, "nameOnly": True})["databases"]
    found = [d["name"] for d in names if d["name"] not in NOT_SHARDED_DBS]
    for db in found:
        owner = cat.database(db)
        if owner is not None and owner["primary"] != shard_name:
            raise CommandError(96, "can't add shard '%s' because a local database '%s' exists in "
                               "another %s" % (shard_text, db, owner["primary"]),
                               "OperationFailed")
    return found


@route("addShard", admin_only=True)
def add_shard(inv):
    cat = _catalog(inv)
    text = inv.arg
    if not isinstance(text, str) or not text:
        raise CommandError(2, "Invalid shard connection string", "BadValue")
    hello_reply = _shard_hello(inv, text)
    set_name = hello_reply["setName"]
    name = inv.body.get("name") or set_name
    members = list(hello_reply.get("hosts") or []) + list(hello_reply.get("passives") or [])
    host = "%s/%s" % (set_name, ",".join(members))
    for shard in cat.shards(refresh=True):
        same_set = shard["host"].split("/")[0] == set_name
        if shard["_id"] == name and same_set:
            return {"shardAdded": name}
        if shard["_id"] == name:
            raise CommandError(96, "A shard named %s already exists" % name, "OperationFailed")
        if same_set:
            raise CommandError(96, "'%s' is already a member of the existing shard '%s'"
                               % (text, shard["_id"]), "OperationFailed")
    client = cat.set_client(set_name, members)
    try:
        databases = _adopt_databases(inv, client, name, text)
        config_text = cat.config_connection_string()
        identity = {"_id": "shardIdentity", "shardName": name, "clusterId": cat.cluster_id(),
                    "configsvrConnectionString": config_text}
        recovery = {"_id": "minOpTimeRecovery", "configsvrConnectionString": config_text,
                    "shardName": name, "minOpTime": {"ts": inv.node.cluster_time(),
                                                     "t": Int64(1)},
                    "minOpTimeUpdaters": 0}
        for doc in (identity, recovery):
            cat.checked(client, "admin", {
                "update": "system.version",
                "updates": [{"q": {"_id": doc["_id"]}, "u": doc, "upsert": True}],
                "writeConcern": {"w": "majority", "wtimeout": 30000}})
    finally:
        client.close()
    cat.config_db().shards.insert_one({"_id": name, "host": host, "state": 1})
    for db in databases:
        if cat.database(db) is None:
            cat.config_db().databases.insert_one({"_id": db, "primary": name,
                                                  "partitioned": False})
    cat.shards(refresh=True)
    return {"shardAdded": name}


@route("enableSharding", "enablesharding", admin_only=True)
def enable_sharding(inv):
    db = inv.arg
    if not isinstance(db, str) or not db or any(c in db for c in '/\\. "$*<>:|?'):
        raise CommandError(73, "invalid db name specified: %s" % db, "InvalidNamespace")
    if db in ("admin", "local"):
        raise CommandError(20, "can't shard %s database" % db, "IllegalOperation")
    cat = _catalog(inv)
    cat.ensure_database(db)
    cat.config_db().databases.update_one({"_id": db}, {"$set": {"partitioned": True}})
    return {}


_KEY_VALUES = (1, "hashed")


def _shard_key(body):
    key = body.get("key")
    if not isinstance(key, dict) or not key:
        raise CommandError(2, "no shard key", "BadValue")
    hashed = [k for k, v in key.items() if v == "hashed"]
    for value in key.values():
        if isinstance(value, bool) or not any(equal(value, ok) for ok in _KEY_VALUES):
            raise CommandError(2, "Unsupported shard key pattern %s. Pattern must either be a "
                               "single hashed field, or a list of ascending fields" % (key,),
                               "BadValue")
    if len(hashed) > 1:
        raise CommandError(2, "Unsupported shard key pattern. Only one hashed field is allowed",
                           "BadValue")
    unique = bool(body.get("unique"))
    if hashed and unique:
        raise CommandError(2, "hashed shard keys cannot be declared unique. It's possible to "
                           "ensure uniqueness on the hashed field by declaring an additional "
                           "(non-hashed) unique index on the field.", "BadValue")
    return key, unique


def _ensure_shard_key_index(cat, shard, db, coll, key, unique):
    """An empty (or new) collection gets an index on the shard key; one
    holding documents must have one already whose key starts with it
    (unique when the shard key is)."""
    wanted = list(key.items())

    def usable(index):
        prefix = list(index["key"].items())[:len(wanted)]
        return len(prefix) == len(wanted) and all(
            k == wk and equal(v, wv) for (k, v), (wk, wv) in zip(prefix, wanted)) and \
            (not unique or index.get("unique") or index["name"] == "_id_")

    listed = cat.run(shard, db, {"listIndexes": coll})
    indexes = listed["cursor"]["firstBatch"] if listed.get("ok") == 1 else []
    if any(usable(i) for i in indexes):
        return
    if indexes and cat.checked(shard, db, {"count": coll})["n"]:
        raise CommandError(72, "Please create an index that starts with the proposed shard key "
                           "before sharding the collection", "InvalidOptions")
    shard_key_index = {"key": key, "name": "_".join("%s_%s" % (k, v) for k, v in wanted)}
    if unique:
        shard_key_index["unique"] = True
    cat.checked(shard, db, {"createIndexes": coll, "indexes": [shard_key_index]})


@route("shardCollection", "shardcollection", admin_only=True)
def shard_collection(inv):
    cat = _catalog(inv)
    ns = inv.arg
    if not isinstance(ns, str) or "." not in ns.strip(".") or ns.startswith("."):
        raise CommandError(73, "Invalid namespace specified '%s'" % ns, "InvalidNamespace")
    db, coll = ns.split(".", 1)
    key, unique = _shard_key(inv.body)
    db_doc = cat.database(db)
    if db_doc is None or not db_doc.get("partitioned"):
        raise CommandError(20, "sharding not enabled for db %s" % db, "IllegalOperation")
    existing = cat.sharded_collection(ns)
    if existing is not None:
        if existing["key"] == key and bool(existing.get("unique")) == unique:
            return {"collectionsharded": ns, "collectionUUID": existing.get("uuid")}
        raise CommandError(20, "sharding already enabled for collection %s with options %s"
                           % (ns, {"key": existing["key"], "unique": existing.get("unique")}),
                           "AlreadyInitialized")
    primary = db_doc["primary"]
    shard = cat.shard(primary)
    _ensure_shard_key_index(cat, shard, db, coll, key, unique)
    batch = cat.checked(shard, db, {"listCollections": 1, "filter": {"name": coll}})[
        "cursor"]["firstBatch"]
    coll_uuid = (batch[0].get("info") or {}).get("uuid") if batch else None
    if not isinstance(coll_uuid, Binary):
        coll_uuid = None
    cat.record_sharded(ns, key, unique, coll_uuid, primary)
    return {"collectionsharded": ns, "collectionUUID": coll_uuid}


@route("balancerStart", admin_only=True)
def balancer_start(inv):
    _catalog(inv).set_balancer(True)
    return {}


@route("balancerStop", admin_only=True)
def balancer_stop(inv):
    _catalog(inv).set_balancer(False)
    return {}


@route("balancerStatus", admin_only=True)
def balancer_status(inv):
    settings = _catalog(inv).balancer_settings()
    mode = settings.get("mode") or ("off" if settings.get("stopped") else "full")
    return {"mode": mode, "inBalancerRound": False, "numBalancerRounds": Int64(0)}


@route("listDatabases", admin_only=True, reads=True)
def list_databases(inv):
    cat = _catalog(inv)
    filt = crud.filter_of(inv.body, "filter")
    per_db = {}
    for name, client in cat.shard_clients():
        reply = cat.checked(client, "admin", {"listDatabases": 1})
        for d in reply["databases"]:
            if d["name"] not in NOT_SHARDED_DBS:
                per_db.setdefault(d["name"], {})[name] = Int64(int(d.get("sizeOnDisk", 0)))
    # admin and config are the config servers' ("config" standing for them).
    for d in cat.checked(cat.config, "admin", {"listDatabases": 1})["databases"]:
        if d["name"] in ("admin", "config"):
            per_db[d["name"]] = {"config": Int64(int(d.get("sizeOnDisk", 0)))}
    entries, total = [], 0
    for name in sorted(per_db):
        size = sum(per_db[name].values())
        entry = {"name": name, "sizeOnDisk": Int64(size), "empty": size == 0,
                 "shards": per_db[name]}
        if matches(entry, filt):
            entries.append(entry)
            total += size
    if inv.body.get("nameOnly"):
        return {"databases": [{"name": e["name"]} for e in entries]}
    return {"databases": entries, "totalSize": Int64(total),
            "totalSizeMb": Int64(total // (1024 * 1024))}


# ---- users (kept on the config servers) ------------------------------------------

@route("createUser", "dropUser", "usersInfo", "updateUser", "grantRolesToUser")
def users(inv):
    cat = _catalog(inv)
    return _result(cat.run(cat.config, inv.db, forwarded_body(inv.body)))


# ---- data ---------------------------------------------------------------------

@route("insert", "update", "delete", "create", "findAndModify", "findandmodify",
       "createIndexes", "dropIndexes")
def write(inv):
    inv.collection_name()
    return _result(_catalog(inv).run(_write_target(inv), inv.db, forwarded_body(inv.body)))


@route("find", reads=True)
def find(inv):
    body = inv.body
    name = inv.collection_name()
    filt = crud.filter_of(body, "filter")
    skip, limit, batch_size, single = crud.find_options(body)
    if body.get("tailable"):
        raise CommandError(2, "tailable cursors are not supported through this router",
                           "BadValue")
    per_shard = {"find": name, "filter": filt}
    if body.get("sort"):
        per_shard["sort"] = body["sort"]
    if limit:
        per_shard["limit"] = skip + limit
    docs = crud.select(_drain_all(inv, per_shard), body, skip, limit)
    with inv.node.lock:
        return crud.cursor_reply(inv.node, inv.db, name, docs, body.get("projection"),
                                 batch_size, limit, single)


@route("count", reads=True)
def count(inv):
    name = inv.collection_name()
    query = crud.filter_of(inv.body, "query")
    skip, limit = crud.int_field(inv.body, "skip"), abs(crud.int_field(inv.body, "limit"))
    per_shard = {"count": name, "query": query}
    if limit:
        per_shard["limit"] = skip + limit
    total = sum(int(reply["n"]) for _, reply in _gather(inv, per_shard))
    n = max(0, total - skip)
    return {"n": min(n, limit) if limit else n}


@route("distinct", reads=True)
def distinct(inv):
    name = inv.collection_name()
    values = []
    body = {"distinct": name, "key": inv.body.get("key"),
            "query": crud.filter_of(inv.body, "query")}
    for _, reply in _gather(inv, body):
        for v in reply["values"]:
            if not any(equal(v, x) for x in values):
                values.append(v)
    return {"values": values}


@route("aggregate", reads=True)
def aggregate(inv):
    pipeline = crud.pipeline_of(inv)
    docs = crud.run_pipeline(_drain_all(inv, {"find": inv.arg, "filter": {}}), pipeline)
    return {"cursor": {"firstBatch": docs, "id": Int64(0), "ns": "%s.%s" % (inv.db, inv.arg)}}


@route("listCollections", reads=True)
def list_collections(inv):
    seen = {}
    for _, reply in _gather(inv, forwarded_body(inv.body)):
        for info in reply["cursor"]["firstBatch"]:
            seen.setdefault(info["name"], info)
    return {"cursor": {"id": Int64(0), "ns": "%s.$cmd.listCollections" % inv.db,
                       "firstBatch": [seen[n] for n in sorted(seen)]}}


@route("listIndexes", reads=True)
def list_indexes(inv):
    name = inv.collection_name()
    cat = _catalog(inv)
    for _, client in _read_targets(inv):
        reply = cat.run(client, inv.db, forwarded_body(inv.body), read_preference(inv))
        if reply.get("code") != 26:
            return _result(reply)
    raise CommandError(26, "ns does not exist: %s.%s" % (inv.db, name))


@route("drop")
def drop(inv):
    name = inv.collection_name()
    cat = _catalog(inv)
    dropped = None
    for _, client in _read_targets(inv):
        reply = cat.run(client, inv.db, {"drop": name})
        if reply.get("ok") == 1:
            dropped = reply
        elif reply.get("code") != 26:
            _result(reply)
    if inv.db not in NOT_SHARDED_DBS:
        cat.forget_collections("^%s$" % re.escape("%s.%s" % (inv.db, name)))
    if dropped is None:
        raise CommandError(26, "ns not found")
    return {"ns": "%s.%s" % (inv.db, name), "nIndexesWas": dropped.get("nIndexesWas", 1)}


@route("dropDatabase")
def drop_database(inv):
    db = _data_db(inv)
    if db in NOT_SHARDED_DBS:
        raise CommandError(20, "Cannot drop '%s' database via mongos" % db, "IllegalOperation")
    cat = _catalog(inv)
    known = cat.database(db)
    dropped = False
    for _, client in cat.shard_clients():
        dropped = "dropped" in _result(cat.run(client, db, {"dropDatabase": 1})) or dropped
    cat.config_db().databases.delete_one({"_id": db})
    cat.forget_collections("^%s\\." % re.escape(db))
    if known is None and not dropped:
        return {"info": "database does not exist"}
    return {"dropped": db}


_SUMMED = ("count", "size", "storageSize", "totalIndexSize", "totalSize")


@route("collStats", reads=True)
def coll_stats(inv):
    name = inv.collection_name()
    cat = _catalog(inv)
    per_shard = {}
    for shard, client in _read_targets(inv):
        reply = cat.run(client, inv.db, {"collStats": name}, read_preference(inv))
        if reply.get("ok") == 1:
            per_shard[shard] = _result(reply)
        elif reply.get("code") != 26:
            _result(reply)
    if not per_shard:
        raise CommandError(26, "Collection [%s.%s] not found." % (inv.db, name))
    ns = "%s.%s" % (inv.db, name)
    sharded = inv.db not in NOT_SHARDED_DBS and cat.sharded_collection(ns) is not None
    reply = {"sharded": sharded, "ns": ns}
    for field in _SUMMED:
        reply[field] = sum(int(s.get(field, 0)) for s in per_shard.values())
    reply["avgObjSize"] = reply["size"] // reply["count"] if reply["count"] else 0
    reply["capped"] = any(s.get("capped") for s in per_shard.values())
    reply["nindexes"] = max(int(s.get("nindexes", 0)) for s in per_shard.values())
    if sharded:
        reply["nchunks"] = 1
    reply["shards"] = per_shard
    return reply


@route("dbStats", "dbstats", reads=True)
def db_stats(inv):
    raw = {}
    sums = {"collections": 0, "views": 0, "objects": 0, "dataSize": 0.0, "storageSize": 0.0,
            "indexes": 0, "indexSize": 0.0, "totalSize": 0.0}
    cat = _catalog(inv)
    hosts = {s["_id"]: s["host"] for s in cat.shards()}
    for name, reply in _gather(inv, {"dbStats": 1}):
        stats = _result(reply)
        raw[hosts.get(name, name)] = stats
        for field in sums:
            sums[field] += stats.get(field, 0)
    sums["avgObjSize"] = sums["dataSize"] / sums["objects"] if sums["objects"] else 0.0
    return dict({"raw": raw, "db": inv.db}, **sums)
