"""Administration: fsync lock, currentOp, shutdown, applyOps."""
import time

from bson import Int64

from ..errors import CommandError, ShutdownRequested
from ..logsink import log
from ..oplogapply import apply_entry
from ..query import matches
from .registry import command

_CURRENT_OP_OPTIONS = {"currentOp", "$all", "$ownOps", "$db", "$readPreference",
                       "$clusterTime", "lsid", "comment", "$query"}


@command("fsync", admin_only=True)
def fsync(inv):
    node = inv.node
    if inv.body.get("lock"):
        count = node.fsync_lock()
        return {"info": "now locked against writes, use db.fsyncUnlock() to unlock",
                "lockCount": Int64(count),
                "seeAlso": "http://dochub.mongodb.org/core/fsynccommand"}
    node.storage.fsync_all()
    return {"numFiles": 1}


@command("fsyncUnlock", admin_only=True)
def fsync_unlock(inv):
    return {"info": "fsyncUnlock completed", "lockCount": Int64(inv.node.fsync_unlock())}


def _op_type(inv):
    return {"insert": "insert", "update": "update", "delete": "remove", "getMore": "getmore",
            "find": "query"}.get(inv.name, "command")


@command("currentOp", admin_only=True)
def current_op(inv):
    node = inv.node
    now = time.monotonic()
    inprog = []
    for op_id, (conn, other) in list(node.active_ops.items()):
        running = now - getattr(other, "started", now)
        command_doc = {k: v for k, v in other.body.items() if not k.startswith("$") or k == "$db"}
        inprog.append({
            "type": "op", "desc": "conn%d" % conn.id, "connectionId": conn.id,
            "client": conn.client, "appName": conn.app_name or "", "active": True,
            "opid": op_id & 0x7FFFFFFF, "secs_running": Int64(int(running)),
            "microsecs_running": Int64(int(running * 1e6)), "op": _op_type(other),
            "ns": "%s.$cmd" % other.db, "command": command_doc,
            "waitingForLock": False,
        })
    filt = {k: v for k, v in inv.body.items() if k not in _CURRENT_OP_OPTIONS}
    # fsyncLock is a report field, not an operation filter.
    filt.pop("fsyncLock", None)
    inprog = [op for op in inprog if matches(op, filt)]
    reply = {"inprog": inprog}
    if node.fsync_lock_count:
        reply["fsyncLock"] = True
        reply["info"] = "use db.fsyncUnlock() to terminate the fsync write/snapshot lock"
    return reply


@command("shutdown", admin_only=True, locked=False)
def shutdown(inv):
    node = inv.node
    force = bool(inv.body.get("force"))
    if node.repl is not None and not force:
        timeout = inv.body.get("timeoutSecs", 10)
        node.repl.prepare_shutdown(float(timeout))
    log.log("COMMAND", "Terminating via shutdown command", force=force)
    node.shutdown_hook("shutdown command")
    raise ShutdownRequested()


@command("applyOps")
def apply_ops(inv):
    node = inv.node
    ops = inv.arg
    if not isinstance(ops, list):
        raise CommandError(14, "applyOps requires an array of operations")
    results = []
    node.begin_write("admin")
    for entry in ops:
        if not isinstance(entry, dict) or "op" not in entry or "ns" not in entry:
            raise CommandError(2, "applyOps entries need op and ns")
        db = entry["ns"].split(".", 1)[0]
        node.check_can_write(db)
        apply_entry(node.storage, entry)
        if entry["op"] != "n":
            node.log_op(entry["op"], entry["ns"], entry.get("o") or {}, entry.get("o2"))
        results.append(True)
    return {"applied": len(results), "results": results}
