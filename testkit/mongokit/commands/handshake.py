"""Handshake and server information: hello/isMaster, ping, buildInfo,
getCmdLineOpts, serverStatus and friends."""
import os
import socket
import time

from bson import Int64

from .. import version as kitversion
from ..errors import CommandError
from ..node import utcnow
from .registry import command

MAX_WIRE_VERSION = 9


def hello_common(inv, reply):
    """Completes a hello reply with what every server says: limits, wire
    versions, and the mechanisms of a user the client asks about."""
    client = inv.body.get("client")
    if isinstance(client, dict) and inv.conn.app_name is None:
        inv.conn.app_name = (client.get("application") or {}).get("name")
    reply.update({
        "maxBsonObjectSize": 16 * 1024 * 1024,
        "maxMessageSizeBytes": 48000000,
        "maxWriteBatchSize": 100000,
        "localTime": utcnow(),
        "connectionId": inv.conn.id,
        "minWireVersion": 0,
        "maxWireVersion": MAX_WIRE_VERSION,
        "readOnly": False,
    })
    mechs_for = inv.body.get("saslSupportedMechs")
    if isinstance(mechs_for, str) and "." in mechs_for:
        db, user = mechs_for.split(".", 1)
        reply["saslSupportedMechs"] = inv.node.user_mechanisms(db, user)
    return reply


def writable_key(inv):
    """The name hello gives the writable-primary flag for this spelling."""
    return "isWritablePrimary" if inv.name == "hello" else "ismaster"


@command("hello", "isMaster", "ismaster", auth=False)
def hello(inv):
    node = inv.node
    reply = {}
    if node.repl is None:
        reply[writable_key(inv)] = True
    else:
        reply.update(node.repl.hello_fields(writable_key(inv)))
    if node.options.get("sharding.clusterRole") == "configsvr":
        reply["configsvr"] = 2
    return hello_common(inv, reply)


@command("ping", auth=False)
def ping(inv):
    return {}


@command("buildInfo", "buildinfo", auth=False)
def build_info(inv):
    return kitversion.build_info()


@command("_isSelf", auth=False, locked=False)
def is_self(inv):
    return {"id": inv.node.instance_id}


@command("whatsmyuri", auth=False)
def whatsmyuri(inv):
    return {"you": inv.conn.client}


@command("getCmdLineOpts", admin_only=True)
def get_cmd_line_opts(inv):
    argv, parsed = inv.node.options.reported()
    return {"argv": argv, "parsed": parsed}


def status_common(node, process):
    """The serverStatus fields every server process reports."""
    uptime = time.time() - node.start_time
    return {
        "host": "%s:%d" % (socket.gethostname(), node.port),
        "version": kitversion.build_info()["version"],
        "process": process,
        "pid": Int64(os.getpid()),
        "uptime": float(int(uptime)),
        "uptimeMillis": Int64(int(uptime * 1000)),
        "uptimeEstimate": Int64(int(uptime)),
        "localTime": utcnow(),
        "connections": {"current": len(node.connections), "available": 50000,
                        "totalCreated": node._next_conn_id - 1},
    }


@command("serverStatus")
def server_status(inv):
    node = inv.node
    reply = status_common(node, "mongod")
    reply["storageEngine"] = {"name": node.options.get("storage.engine") or "wiredTiger",
                              "supportsCommittedReads": True,
                              "persistent": True, "backupCursorOpen": False}
    if node.repl is not None:
        reply["repl"] = node.repl.hello_fields("ismaster")
    return reply


@command("connectionStatus", auth=False)
def connection_status(inv):
    users = [{"user": u, "db": d} for d, u in sorted(inv.conn.users)]
    return {"authInfo": {"authenticatedUsers": users, "authenticatedUserRoles": []}}


@command("getParameter", admin_only=True)
def get_parameter(inv):
    params = inv.node.options.get("setParameter") or {}
    if inv.arg == "*":
        return dict(params)
    return {k: v for k, v in params.items() if k in inv.body}


@command("hostInfo")
def host_info(inv):
    return {"system": {"currentTime": utcnow(), "hostname": socket.gethostname(),
                       "cpuArch": "x86_64", "numCores": 2},
            "os": {"type": "Linux", "name": "Linux"}}


@command("getLog", admin_only=True)
def get_log(inv):
    if inv.arg == "*":
        return {"names": ["global", "startupWarnings"]}
    if inv.arg in ("global", "startupWarnings"):
        return {"totalLinesWritten": 0, "log": []}
    raise CommandError(2, "no RamLog named: %s" % inv.arg)


@command("endSessions", "killAllSessions", "refreshSessions", auth=False)
def end_sessions(inv):
    return {}
