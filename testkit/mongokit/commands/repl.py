"""Replica-set commands: replSetInitiate, replSetGetStatus, replSetGetConfig,
replSetReconfig, replSetStepDown, replSetResizeOplog and the members'
replSetHeartbeat."""
from ..client import Client, ConnectionFailure
from ..errors import CommandError
from ..replconfig import ReplConfig
from ..replication import STATE_STR
from .registry import command


def _repl(inv):
    if inv.node.repl is None:
        raise CommandError(76, "not running with --replSet", "NoReplicationEnabled")
    return inv.node.repl


def _default_config(inv, repl):
    node = inv.node
    host = next((ip for ip in node.bind_ips if ip not in ("0.0.0.0", "::")), "127.0.0.1")
    return {"_id": repl.set_name, "version": 1,
            "members": [{"_id": 0, "host": "%s:%d" % (host, node.port)}]}


def _quorum_check(repl, config, me):
    """Every other proposed member must answer and not belong to a set yet."""
    for m in config.members:
        if m.id == me.id:
            continue
        client = Client.for_address(m.host, ssl_context=repl._client_tls, timeout=2.0,
                                    credentials=repl._internal_credentials())
        try:
            reply = client.command("admin", {"replSetHeartbeat": repl.set_name,
                                             "configVersion": -2, "from": me.host,
                                             "fromId": -1, "checkEmpty": True}, check=False)
            if reply.get("ok") != 1:
                raise CommandError(reply.get("code", 1), reply.get("errmsg", "refused"))
            if reply.get("configVersion", -2) != -2:
                raise CommandError(74, "%s is already a member of a replica set" % m.host)
        except (ConnectionFailure, CommandError) as exc:
            detail = exc.errmsg if isinstance(exc, CommandError) else str(exc)
            raise CommandError(74, "replSetInitiate quorum check failed because not all "
                               "proposed set members responded affirmatively: %s failed with %s"
                               % (m.host, detail), "NodeNotFound")
        finally:
            client.close()


@command("replSetInitiate", admin_only=True, locked=False)
def repl_set_initiate(inv):
    node = inv.node
    repl = _repl(inv)
    reply = {}
    with node.lock:
        if repl.config is not None:
            raise CommandError(23, "already initialized", "AlreadyInitialized")
        doc = inv.arg if isinstance(inv.arg, dict) else None
        if doc is None:
            doc = _default_config(inv, repl)
            reply["info2"] = "no configuration specified. Using a default configuration for the set"
    config = ReplConfig(doc, repl.set_name)
    config.term = 0
    me = repl.find_self(config)
    if me is None:
        raise CommandError(93, "No host described in new configuration with {version: %d, "
                           "term: 0} for replica set %s maps to this node"
                           % (config.version, config.name))
    _quorum_check(repl, config, me)
    with node.lock:
        if repl.config is not None:
            raise CommandError(23, "already initialized", "AlreadyInitialized")
        repl.initiate(config, me)
    return reply


@command("replSetGetStatus")
def repl_set_get_status(inv):
    return _repl(inv).status()


@command("replSetGetConfig")
def repl_set_get_config(inv):
    repl = _repl(inv)
    if repl.config is None:
        raise CommandError(94, "no replset config has been received", "NotYetInitialized")
    return {"config": repl.config.to_doc()}


@command("replSetReconfig", admin_only=True, locked=False)
def repl_set_reconfig(inv):
    node = inv.node
    repl = _repl(inv)
    force = bool(inv.body.get("force"))
    with node.lock:
        if repl.config is None:
            raise CommandError(94, "no replset config has been received", "NotYetInitialized")
        if not force and not repl.is_writable_primary():
            raise CommandError(10107, "replSetReconfig should only be run on a writable PRIMARY. "
                               "Current state %s;" % _state_name(repl), "NotWritablePrimary")
        current = repl.config
    config = ReplConfig(inv.arg, repl.set_name)
    if force:
        config.version = ReplConfig.forced_version(max(config.version, current.version))
    elif config.version <= current.version:
        raise CommandError(103, "New replica set configuration version must be greater than old, "
                           "but %d is not greater than %d for replica set %s"
                           % (config.version, current.version, config.name))
    config.settings["replicaSetId"] = current.settings.get("replicaSetId")
    me = repl.find_self(config)
    if me is None:
        raise CommandError(74, "No host described in new configuration with {version: %d, "
                           "term: %d} for replica set %s maps to this node"
                           % (config.version, repl.term, config.name), "NodeNotFound")
    with node.lock:
        config.term = repl.term
        repl.install_config(config, me)
        repl._decide()
    return {}


def _state_name(repl):
    return STATE_STR.get(repl.state, "UNKNOWN")


@command("replSetHeartbeat", locked=False)
def repl_set_heartbeat(inv):
    repl = _repl(inv)
    with inv.node.lock:
        if inv.body.get("checkEmpty"):
            version = repl.config.version if repl.config is not None else -2
            return {"set": repl.set_name, "configVersion": version}
        reply, newer = repl.receive_heartbeat(inv.body)
    if newer is not None:
        repl.adopt_config(newer)  # may ask members who is who: no lock held
    return reply


@command("replSetStepDown", admin_only=True)
def repl_set_step_down(inv):
    seconds = inv.arg if isinstance(inv.arg, (int, float)) and not isinstance(inv.arg, bool) \
        else 60
    _repl(inv).step_down(float(seconds))
    return {}


@command("replSetResizeOplog", admin_only=True)
def repl_set_resize_oplog(inv):
    oplog = inv.node.oplog()
    if oplog is None:
        raise CommandError(26, "ns does not exist: local.oplog.rs")
    size = inv.body.get("size")
    if isinstance(size, bool) or not isinstance(size, (int, float)) or size <= 0:
        raise CommandError(2, "replSetResizeOplog needs a positive size in megabytes")
    inv.node.begin_write("local")
    oplog.resize(int(size * 1024 * 1024))
    return {}
