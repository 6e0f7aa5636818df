"""Applying oplog entries to storage, idempotently: inserts are upserts,
updates carry resulting values, deletes of missing documents are no-ops.
Used by secondaries and by applyOps."""
from .errors import CommandError
from .update import apply_oplog_update


def apply_entry(storage, entry):
    """Applies one entry's change to storage (no oplog write here)."""
    op = entry.get("op")
    ns = entry.get("ns", "")
    o = entry.get("o") or {}
    db, _, coll = ns.partition(".")
    if op == "n":
        return
    if op == "i":
        storage.create_collection(db, coll, {}, must_be_new=False).put(o)
    elif op == "u":
        target = storage.collection(db, coll)
        key = (entry.get("o2") or {}).get("_id")
        doc = target.get(key) if target else None
        if doc is None:
            if not entry.get("b"):
                return  # already deleted later in the log: nothing to do
            doc = {"_id": key}
            target = storage.create_collection(db, coll, {}, must_be_new=False)
        target.put(apply_oplog_update(doc, o))
    elif op == "d":
        target = storage.collection(db, coll)
        if target:
            target.delete(o.get("_id"))
    elif op == "c":
        _apply_command(storage, db, o)
    else:
        raise CommandError(14, "invalid oplog entry op type: %s" % op)


def _apply_command(storage, db, o):
    name = next(iter(o), None)
    if name == "create":
        options = {k: v for k, v in o.items() if k in ("capped", "size", "max")}
        storage.create_collection(db, o["create"], options, must_be_new=False)
    elif name == "drop":
        storage.drop_collection(db, o["drop"])
    elif name == "dropDatabase":
        storage.drop_database(db)
    elif name == "createIndexes":
        coll = storage.create_collection(db, o["createIndexes"], {}, must_be_new=False)
        index_doc = {k: v for k, v in o.items() if k != "createIndexes"}
        if all(i["name"] != index_doc.get("name") for i in coll.all_indexes()):
            coll.set_indexes(coll.indexes + [index_doc])
    elif name == "dropIndexes":
        coll = storage.collection(db, o["dropIndexes"])
        if coll is not None:
            coll.set_indexes([i for i in coll.indexes if o.get("index") not in ("*", i["name"])])
    elif name == "collMod":
        return
    else:
        raise CommandError(2, "applying the command %s from the oplog is not supported" % name)
