"""Reads and writes: find/getMore/killCursors, insert/update/delete, count,
distinct, a small aggregate, and collection/database management."""
import time

from bson import Int64, ObjectId
from bson.binary import Binary

from ..bsonvalues import equal, identity_key
from ..errors import CommandError
from ..node import CURSOR_BATCH
from ..storage import ID_INDEX
from ..query import matches, project, sort_documents, validate_filter, get_path
from ..update import apply_update, upsert_document, validate_update
from .registry import command


def filter_of(body, key):
    filt = body.get(key)
    if filt is None:
        return {}
    validate_filter(filt)
    return filt


def _matching(inv, coll_name, filt):
    coll = inv.node.storage.collection(inv.db, coll_name)
    if coll is None:
        return None, []
    return coll, [d for d in coll.values() if matches(d, filt)]


def int_field(body, key, default=0):
    value = body.get(key, default)
    if value is None:
        return default
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise CommandError(14, "Field '%s' must be a number" % key)
    return int(value)


# ---- find / getMore / killCursors -------------------------------------------

def find_options(body):
    """(skip, limit, batchSize or -1, singleBatch) of a find, validated."""
    skip = int_field(body, "skip")
    limit = int_field(body, "limit")
    batch_size = int_field(body, "batchSize", -1)
    if skip < 0:
        raise CommandError(51024, "BSON field 'skip' value must be >= 0, actual value '%d'" % skip)
    if batch_size < -1:
        raise CommandError(51024, "BSON field 'batchSize' value must be >= 0, actual value '%d'"
                           % batch_size)
    return skip, abs(limit), batch_size, bool(body.get("singleBatch")) or limit < 0


def select(docs, body, skip, limit):
    """The documents a find returns from the matching ones: sorted, skipped
    and limited."""
    docs = sort_documents(docs, body.get("sort"))
    if skip:
        docs = docs[skip:]
    if limit:
        docs = docs[:limit]
    return docs


def cursor_reply(node, db, name, docs, projection, batch_size, limit, single):
    """The first batch of a find over docs; a cursor keeps the rest."""
    first_n = CURSOR_BATCH if batch_size == -1 else batch_size
    if limit:
        first_n = min(first_n, limit) if first_n else limit
    if single:
        first_n = len(docs)
    batch, rest = docs[:first_n], docs[first_n:]
    cursor_id = 0
    if rest:
        cursor_id = node.new_cursor(db=db, coll=name, docs=rest, projection=projection,
                                    batch_size=max(batch_size, 0)).id
    return {"cursor": {"firstBatch": [project(d, projection) for d in batch],
                       "id": Int64(cursor_id), "ns": "%s.%s" % (db, name)}}


@command("find", reads=True)
def find(inv):
    body = inv.body
    name = inv.collection_name()
    filt = filter_of(body, "filter")
    skip, limit, batch_size, single = find_options(body)
    tailable = bool(body.get("tailable"))
    coll, docs = _matching(inv, name, filt)
    if tailable and coll is not None and not coll.capped:
        raise CommandError(2, "error processing query: ns=%s.%s tailable cursor requested on "
                           "non capped collection" % (inv.db, name))
    docs = select(docs, body, skip, limit)
    projection = body.get("projection")
    if not tailable or coll is None or not coll.docs:
        return cursor_reply(inv.node, inv.db, name, docs, projection, batch_size, limit, single)
    # Tailing resumes after the last match, or after the current end.
    first_n = len(docs) if batch_size == -1 or single else batch_size
    last_key = coll.key_of(docs[-1]) if docs else next(reversed(coll.docs))
    cursor = inv.node.new_cursor(db=inv.db, coll=name, docs=docs[first_n:], tailable=True,
                                 await_data=bool(body.get("awaitData")), filter_=filt,
                                 projection=projection, last_key=last_key,
                                 batch_size=max(batch_size, 0))
    return {"cursor": {"firstBatch": [project(d, projection) for d in docs[:first_n]],
                       "id": Int64(cursor.id), "ns": "%s.%s" % (inv.db, name)}}


def _tail(inv, cursor):
    """Documents appended to a capped collection after the cursor's position."""
    coll = inv.node.storage.collection(cursor.db, cursor.coll)
    if coll is None:
        raise CommandError(136, "CollectionScan died due to position in capped collection "
                           "being deleted.", "CappedPositionLost")
    newer = []
    found = False
    for key, doc in reversed(coll.docs.items()):
        if key == cursor.last_key:
            found = True
            break
        newer.append(doc)
    if not found:
        raise CommandError(136, "CollectionScan died due to position in capped collection "
                           "being deleted. Last seen record id: RecordId(%s)"
                           % (cursor.last_key,), "CappedPositionLost")
    if newer:
        cursor.last_key = coll.key_of(newer[0])
    newer.reverse()
    return [d for d in newer if matches(d, cursor.filter or {})]


# Not a read of its own: the find that opened the cursor passed the
# secondary-reads check, and MongoDB lets its batches follow without one.
@command("getMore")
def get_more(inv):
    node = inv.node
    cursor_id = inv.arg
    if not isinstance(cursor_id, int):
        raise CommandError(14, "Field 'getMore' must be of type long")
    coll_name = inv.body.get("collection")
    cursor = node.cursors.get(int(cursor_id))
    if cursor is None or cursor.db != inv.db or cursor.coll != coll_name:
        raise CommandError(43, "cursor id %d not found" % cursor_id)
    batch_size = int_field(inv.body, "batchSize", 0) or cursor.batch_size
    cursor.touched = time.monotonic()
    if cursor.tailable:
        docs = cursor.docs[cursor.pos:]
        cursor.docs, cursor.pos = [], 0
        try:
            if not docs:
                docs = _tail(inv, cursor)
            if not docs and cursor.await_data:
                deadline = time.monotonic() + int_field(inv.body, "maxTimeMS", 1000) / 1000.0
                while not docs and not node.stopping.is_set():
                    left = deadline - time.monotonic()
                    if left <= 0:
                        break
                    node.cond.wait(left)
                    if node.cursors.get(cursor.id) is not cursor:
                        raise CommandError(43, "cursor id %d not found" % cursor_id)
                    docs = _tail(inv, cursor)
        except CommandError:
            node.cursors.pop(cursor.id, None)
            raise
        if batch_size and len(docs) > batch_size:
            cursor.docs = docs[batch_size:]
            docs = docs[:batch_size]
        return {"cursor": {"nextBatch": [project(d, cursor.projection) for d in docs],
                           "id": Int64(cursor.id), "ns": cursor.ns}}
    end = cursor.pos + batch_size if batch_size else len(cursor.docs)
    docs = cursor.docs[cursor.pos:end]
    cursor.pos = end
    next_id = cursor.id
    if cursor.pos >= len(cursor.docs):
        node.cursors.pop(cursor.id, None)
        next_id = 0
    return {"cursor": {"nextBatch": [project(d, cursor.projection) for d in docs],
                       "id": Int64(next_id), "ns": cursor.ns}}


@command("killCursors")
def kill_cursors(inv):
    killed, not_found = [], []
    for cid in inv.body.get("cursors") or []:
        cursor = inv.node.cursors.pop(int(cid), None)
        (killed if cursor else not_found).append(Int64(cid))
    inv.node.cond.notify_all()
    return {"cursorsKilled": killed, "cursorsNotFound": not_found,
            "cursorsAlive": [], "cursorsUnknown": []}


# ---- writes -----------------------------------------------------------------

def _check_storable(doc):
    for key in doc:
        if isinstance(key, str) and key.startswith("$"):
            raise CommandError(2, "Document can't have $ prefixed field names: %s" % key)


def _write_result(inv, n, errors, extra=None):
    reply = {"n": n}
    if extra:
        reply.update(extra)
    if errors:
        reply["writeErrors"] = errors
    if inv.node.repl is not None:
        inv.node.repl.await_write_concern(inv.body.get("writeConcern"), reply)
    return reply


def _statements(inv, field):
    items = inv.body.get(field)
    if not isinstance(items, list):
        raise CommandError(40414 if items is None else 14,
                           "BSON field '%s.%s' is missing but a required field"
                           % (inv.name, field) if items is None else
                           "BSON field '%s.%s' is the wrong type" % (inv.name, field))
    return items


def _each_statement(inv, field, apply_one):
    """Runs apply_one(index, statement) over a write command's statements
    after waiting for the right to write; returns the writeErrors. Ordered
    writes stop at the first error."""
    stmts = _statements(inv, field)
    ordered = inv.body.get("ordered", True)
    inv.node.begin_write(inv.db)
    errors = []
    for i, stmt in enumerate(stmts):
        try:
            apply_one(i, stmt)
        except CommandError as exc:
            errors.append({"index": i, "code": exc.code, "errmsg": exc.errmsg})
            if ordered:
                break
    return errors


@command("insert")
def insert(inv):
    name = inv.collection_name()
    counts = [0]

    def insert_one(_, doc):
        if not isinstance(doc, dict):
            raise CommandError(14, "document must be an object")
        if "_id" not in doc:
            doc = {"_id": ObjectId(), **doc}
        _check_storable(doc)
        inv.node.insert(inv.db, name, doc)
        counts[0] += 1

    errors = _each_statement(inv, "documents", insert_one)
    return _write_result(inv, counts[0], errors)


def _update_one_statement(inv, name, index, stmt, upserted):
    """Applies one update statement; returns (matched, modified)."""
    if not isinstance(stmt, dict) or "q" not in stmt or "u" not in stmt:
        raise CommandError(9, "update statements need q and u")
    q, u = stmt["q"], stmt["u"]
    validate_filter(q)
    validate_update(u)
    multi = bool(stmt.get("multi"))
    if multi and isinstance(u, dict) and u and not next(iter(u)).startswith("$"):
        raise CommandError(9, "multi update is not supported for replacement-style update")
    coll, docs = _matching(inv, name, q)
    if not multi:
        docs = docs[:1]
    modified = 0
    for doc in docs:
        new, changed, oplog_o = apply_update(doc, u)
        if changed:
            _check_storable(new)
            inv.node.replace(inv.db, name, new, oplog_o)
            modified += 1
    if not docs and stmt.get("upsert"):
        new = upsert_document(q, u)
        _check_storable(new)
        inv.node.insert(inv.db, name, new)
        upserted.append({"index": index, "_id": new["_id"]})
        return 1, 0
    return len(docs), modified


@command("update")
def update(inv):
    name = inv.collection_name()
    counts = [0, 0]
    upserted = []

    def update_one(i, stmt):
        matched, modified = _update_one_statement(inv, name, i, stmt, upserted)
        counts[0] += matched
        counts[1] += modified

    errors = _each_statement(inv, "updates", update_one)
    extra = {"nModified": counts[1]}
    if upserted:
        extra["upserted"] = upserted
    return _write_result(inv, counts[0], errors, extra)


@command("delete")
def delete(inv):
    name = inv.collection_name()
    counts = [0]

    def delete_one(_, stmt):
        if not isinstance(stmt, dict) or "q" not in stmt or "limit" not in stmt:
            raise CommandError(9, "delete statements need q and limit")
        if stmt["limit"] not in (0, 1):
            raise CommandError(9, "The limit field in delete objects must be 0 or 1. "
                               "Got %s" % stmt["limit"])
        validate_filter(stmt["q"])
        _, docs = _matching(inv, name, stmt["q"])
        for doc in docs[:1] if stmt["limit"] == 1 else docs:
            inv.node.remove(inv.db, name, doc["_id"])
            counts[0] += 1

    errors = _each_statement(inv, "deletes", delete_one)
    return _write_result(inv, counts[0], errors)


# ---- counting and aggregation -------------------------------------------------

@command("count", reads=True)
def count(inv):
    name = inv.collection_name()
    _, docs = _matching(inv, name, filter_of(inv.body, "query"))
    skip, limit = int_field(inv.body, "skip"), abs(int_field(inv.body, "limit"))
    docs = docs[skip:]
    if limit:
        docs = docs[:limit]
    return {"n": len(docs)}


@command("distinct", reads=True)
def distinct(inv):
    name = inv.collection_name()
    key = inv.body.get("key")
    if not isinstance(key, str):
        raise CommandError(14, "BSON field 'distinct.key' is the wrong type")
    _, docs = _matching(inv, name, filter_of(inv.body, "query"))
    values = []
    for doc in docs:
        v = get_path(doc, key)
        for item in (v if isinstance(v, list) else [v]):
            if item is not None and not any(equal(item, x) for x in values):
                values.append(item)
    return {"values": values}


def _group(docs, group_by):
    key_expr = group_by.get("_id")
    groups = {}
    order = []
    for doc in docs:
        key = get_path(doc, key_expr[1:]) if isinstance(key_expr, str) and \
            key_expr.startswith("$") else key_expr
        ident = identity_key(key)
        if ident not in groups:
            groups[ident] = {"_id": key}
            order.append(ident)
        out = groups[ident]
        for field, acc in group_by.items():
            if field == "_id":
                continue
            if not isinstance(acc, dict) or list(acc) != ["$sum"]:
                raise CommandError(15952, "unknown group operator '%s'" % (list(acc)[:1] or ["?"])[0])
            arg = acc["$sum"]
            value = get_path(doc, arg[1:]) if isinstance(arg, str) and arg.startswith("$") else arg
            out[field] = out.get(field, 0) + (value if isinstance(value, (int, float)) else 0)
    return [groups[i] for i in order]


def run_pipeline(docs, pipeline):
    """The documents an aggregation pipeline makes of docs."""
    for stage in pipeline:
        if not isinstance(stage, dict) or len(stage) != 1:
            raise CommandError(40323, "A pipeline stage specification object must contain "
                               "exactly one field.")
        op, arg = next(iter(stage.items()))
        if op == "$match":
            validate_filter(arg)
            docs = [d for d in docs if matches(d, arg)]
        elif op == "$sort":
            docs = sort_documents(docs, arg)
        elif op == "$skip":
            docs = docs[int(arg):]
        elif op == "$limit":
            docs = docs[:int(arg)]
        elif op == "$project":
            docs = [project(d, arg) for d in docs]
        elif op == "$count":
            docs = [{arg: len(docs)}] if docs else []
        elif op == "$group":
            docs = _group(docs, arg)
        else:
            raise CommandError(40324, "Unrecognized pipeline stage name: '%s'" % op)
    return docs


def pipeline_of(inv):
    """The pipeline of an aggregate command on a collection, checked."""
    pipeline = inv.body.get("pipeline")
    if not isinstance(pipeline, list):
        raise CommandError(14, "'pipeline' option must be specified as an array")
    if not isinstance(inv.arg, str):
        raise CommandError(2, "aggregate on a database is not supported by this server")
    return pipeline


@command("aggregate", reads=True)
def aggregate(inv):
    pipeline = pipeline_of(inv)
    coll = inv.node.storage.collection(inv.db, inv.arg)
    docs = run_pipeline(coll.values() if coll else [], pipeline)
    return {"cursor": {"firstBatch": docs, "id": Int64(0), "ns": "%s.%s" % (inv.db, inv.arg)}}


# ---- namespaces ---------------------------------------------------------------

def _collection_info(coll):
    return {"name": coll.name, "type": "collection", "options": dict(coll.options),
            "info": {"readOnly": False, "uuid": Binary.from_uuid(coll.uuid)},
            "idIndex": ID_INDEX}


@command("listCollections", reads=True)
def list_collections(inv):
    filt = filter_of(inv.body, "filter")
    colls = inv.node.storage.dbs.get(inv.db, {})
    infos = [_collection_info(c) for _, c in sorted(colls.items())]
    infos = [i for i in infos if matches(i, filt)]
    if inv.body.get("nameOnly"):
        infos = [{"name": i["name"], "type": i["type"]} for i in infos]
    return {"cursor": {"id": Int64(0), "ns": "%s.$cmd.listCollections" % inv.db,
                       "firstBatch": infos}}


@command("listIndexes", reads=True)
def list_indexes(inv):
    name = inv.collection_name()
    coll = inv.node.storage.collection(inv.db, name)
    if coll is None:
        raise CommandError(26, "ns does not exist: %s.%s" % (inv.db, name))
    return {"cursor": {"id": Int64(0), "ns": "%s.%s" % (inv.db, name),
                       "firstBatch": coll.all_indexes()}}


def _index_spec(index_doc):
    """An index description as stored: checked, "v" first, without "ns"."""
    if not isinstance(index_doc, dict):
        raise CommandError(14, "The field 'indexes' must be an array of objects")
    key, name = index_doc.get("key"), index_doc.get("name")
    if not isinstance(key, dict) or not key:
        raise CommandError(9, "The 'key' field is a required property of an index specification")
    if not isinstance(name, str) or not name:
        raise CommandError(9, "The 'name' field is a required property of an index "
                              "specification")
    for value in key.values():
        if isinstance(value, bool) or not isinstance(value, (int, float, str)) or value == 0:
            raise CommandError(67, "Values in the index key pattern can't be 0 or booleans: %s"
                               % (key,), "CannotCreateIndex")
    out = {"v": 2}
    out.update((k, v) for k, v in index_doc.items() if k not in ("v", "ns"))
    return out


@command("createIndexes")
def create_indexes(inv):
    name = inv.collection_name()
    specs = inv.body.get("indexes")
    if not isinstance(specs, list) or not specs:
        raise CommandError(2, "Must specify at least one index to create")
    specs = [_index_spec(s) for s in specs]
    node = inv.node
    node.begin_write(inv.db)
    coll = node.storage.collection(inv.db, name)
    existing = coll.all_indexes() if coll else [ID_INDEX]
    before = len(existing)
    created = 0
    for index_doc in specs:
        same_name = next((i for i in existing if i["name"] == index_doc["name"]), None)
        same_key = next((i for i in existing
                         if identity_key(i["key"]) == identity_key(index_doc["key"])), None)
        if same_name is not None and identity_key(same_name["key"]) != identity_key(index_doc["key"]):
            raise CommandError(86, "Index must have unique name.The existing index: %s has the "
                               "same name as the requested index: %s" % (same_name, index_doc),
                               "IndexKeySpecsConflict")
        if same_key is not None and same_key["name"] != index_doc["name"]:
            raise CommandError(85, "Index with name: %s already exists with a different name"
                               % index_doc["name"], "IndexOptionsConflict")
        if same_name is None:
            node.create_index(inv.db, name, index_doc)
            existing.append(index_doc)
            created += 1
    reply = {"createdCollectionAutomatically": coll is None, "numIndexesBefore": before,
             "numIndexesAfter": before + created}
    if not created:
        reply["note"] = "all indexes already exist"
    return reply


@command("dropIndexes", "deleteIndexes")
def drop_indexes(inv):
    name = inv.collection_name()
    node = inv.node
    coll = node.storage.collection(inv.db, name)
    if coll is None:
        raise CommandError(26, "ns not found %s.%s" % (inv.db, name))
    target = inv.body.get("index")
    if target == "*":
        names = [i["name"] for i in coll.indexes]
    else:
        found = next((i for i in coll.all_indexes()
                      if i["name"] == target or (isinstance(target, dict) and
                                                 identity_key(i["key"]) == identity_key(target))),
                     None)
        if found is None:
            raise CommandError(27, "index not found with name [%s]" % (target,),
                               "IndexNotFound")
        if found["name"] == ID_INDEX["name"]:
            raise CommandError(72, "cannot drop _id index", "InvalidOptions")
        names = [found["name"]]
    before = len(coll.all_indexes())
    node.begin_write(inv.db)
    for index_name in names:
        node.drop_index(inv.db, name, index_name)
    return {"nIndexesWas": before}


@command("listDatabases", reads=True, admin_only=True)
def list_databases(inv):
    storage = inv.node.storage
    filt = filter_of(inv.body, "filter")
    entries, total = [], 0
    for name in storage.database_names():
        size = storage.database_size(name)
        entry = {"name": name, "sizeOnDisk": float(size), "empty": False}
        if matches(entry, filt):
            entries.append(entry)
            total += size
    if inv.body.get("nameOnly"):
        return {"databases": [{"name": e["name"]} for e in entries]}
    return {"databases": entries, "totalSize": float(total),
            "totalSizeMb": Int64(total // (1024 * 1024))}


@command("create")
def create(inv):
    name = inv.collection_name()
    body = inv.body
    options = {}
    if body.get("capped"):
        if not body.get("size"):
            raise CommandError(72, "the 'size' field is required when 'capped' is true")
        options = {"capped": True, "size": int(body["size"])}
        if body.get("max"):
            options["max"] = int(body["max"])
    inv.node.begin_write(inv.db)
    inv.node.create_collection(inv.db, name, options)
    return {}


@command("drop")
def drop(inv):
    name = inv.collection_name()
    inv.node.begin_write(inv.db)
    coll = inv.node.storage.collection(inv.db, name)
    indexes = len(coll.all_indexes()) if coll else 0
    if not inv.node.drop_collection(inv.db, name):
        raise CommandError(26, "ns not found")
    return {"nIndexesWas": indexes, "ns": "%s.%s" % (inv.db, name)}


@command("dropDatabase")
def drop_database(inv):
    node = inv.node
    if inv.db == "local" and node.repl is not None:
        raise CommandError(20, "Cannot drop 'local' database while replication is active",
                           "IllegalOperation")
    node.begin_write(inv.db)
    if node.drop_database(inv.db):
        return {"dropped": inv.db}
    return {}


@command("collStats", reads=True)
def coll_stats(inv):
    name = inv.collection_name()
    coll = inv.node.storage.collection(inv.db, name)
    if coll is None:
        raise CommandError(26, "Collection [%s.%s] not found." % (inv.db, name))
    size = coll.live_bytes
    count_ = len(coll.docs)
    reply = {"ns": coll.ns, "size": size, "count": count_,
             "avgObjSize": size // count_ if count_ else 0,
             "storageSize": coll.file_bytes, "freeStorageSize": 0,
             "capped": coll.capped, "nindexes": len(coll.all_indexes()), "indexBuilds": [],
             "totalIndexSize": 0, "totalSize": coll.file_bytes,
             "indexSizes": {i["name"]: 0 for i in coll.all_indexes()}, "scaleFactor": 1}
    if coll.capped:
        reply["max"] = int(coll.options.get("max") or 0)
        reply["maxSize"] = int(coll.options.get("size") or 0)
    return reply


@command("dbStats", reads=True)
def db_stats(inv):
    colls = inv.node.storage.dbs.get(inv.db, {})
    objects = sum(len(c.docs) for c in colls.values())
    data = sum(c.live_bytes for c in colls.values())
    storage_size = sum(c.file_bytes for c in colls.values())
    return {"db": inv.db, "collections": len(colls), "views": 0, "objects": objects,
            "avgObjSize": float(data) / objects if objects else 0.0, "dataSize": float(data),
            "storageSize": float(storage_size),
            "indexes": sum(len(c.all_indexes()) for c in colls.values()), "indexSize": 0.0,
            "totalSize": float(storage_size), "scaleFactor": 1.0}
