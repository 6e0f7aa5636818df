"""Users and SCRAM authentication (saslStart/saslContinue).

Authorization is all-or-nothing: any authenticated user may run any
command. Users live in admin.system.users, as on a real server, so they
replicate with the rest of the data; only derived SCRAM keys are stored.
"""
import uuid

from bson.binary import Binary

from .. import scram
from ..errors import CommandError
from .registry import command


def _payload(inv):
    payload = inv.body.get("payload", b"")
    if isinstance(payload, str):
        payload = payload.encode()
    return bytes(payload)


@command("saslStart", auth=False)
def sasl_start(inv):
    node = inv.node
    mechanism = inv.body.get("mechanism")
    db = inv.db
    conv = scram.ServerConversation(
        mechanism, lambda user: node.user_credentials(db, user, mechanism))
    try:
        out = conv.start(_payload(inv))
    except CommandError:
        inv.conn.sasl = None
        raise CommandError(18, "Authentication failed.")
    skip_empty = bool((inv.body.get("options") or {}).get("skipEmptyExchange"))
    inv.conn.sasl = (conv, db, skip_empty)
    return {"conversationId": 1, "done": False, "payload": Binary(out)}


@command("saslContinue", auth=False)
def sasl_continue(inv):
    if not inv.conn.sasl:
        raise CommandError(17, "No SASL session state found", "ProtocolError")
    conv, db, skip_empty = inv.conn.sasl
    try:
        out = conv.next(_payload(inv))
    except CommandError:
        inv.conn.sasl = None
        raise CommandError(18, "Authentication failed.")
    done = conv.done or (skip_empty and conv.step == 2)
    if done:
        inv.conn.sasl = None
        inv.conn.users.add((db, conv.user))
    return {"conversationId": 1, "done": done, "payload": Binary(out)}


@command("logout", auth=False)
def logout(inv):
    inv.conn.users = {u for u in inv.conn.users if u[0] != inv.db}
    return {}


def _user_id(db, name):
    return "%s.%s" % (db, name)


@command("createUser")
def create_user(inv):
    node = inv.node
    name = inv.arg
    pwd = inv.body.get("pwd")
    if not isinstance(name, str) or not name:
        raise CommandError(2, "User name must be a non-empty string")
    if not isinstance(pwd, str) or not pwd:
        raise CommandError(2, "Must provide a 'pwd' field for all user documents, except "
                           "those with '$external' as the user's source db")
    mechanisms = inv.body.get("mechanisms") or list(scram.MECHANISMS)
    for mech in mechanisms:
        if mech not in scram.MECHANISMS:
            raise CommandError(2, "Unknown auth mechanism '%s'" % mech)
    node.begin_write("admin")
    users = node.storage.collection("admin", "system.users")
    if users and users.get(_user_id(inv.db, name)):
        raise CommandError(51003, 'User "%s@%s" already exists' % (name, inv.db))
    doc = {"_id": _user_id(inv.db, name), "userId": Binary.from_uuid(uuid.uuid4()),
           "user": name, "db": inv.db,
           "credentials": {m: scram.make_credentials(m, name, pwd) for m in mechanisms},
           "roles": inv.body.get("roles") or []}
    node.insert("admin", "system.users", doc)
    return {}


@command("dropUser")
def drop_user(inv):
    node = inv.node
    node.begin_write("admin")
    users = node.storage.collection("admin", "system.users")
    if not users or not users.get(_user_id(inv.db, inv.arg)):
        raise CommandError(11, "User '%s@%s' not found" % (inv.arg, inv.db))
    node.remove("admin", "system.users", _user_id(inv.db, inv.arg))
    return {}


@command("usersInfo")
def users_info(inv):
    users = inv.node.storage.collection("admin", "system.users")
    out = []
    for doc in (users.values() if users else []):
        if doc.get("db") != inv.db:
            continue
        if isinstance(inv.arg, str) and doc.get("user") != inv.arg:
            continue
        out.append({"_id": doc["_id"], "userId": doc.get("userId"), "user": doc["user"],
                    "db": doc["db"], "roles": doc.get("roles", []),
                    "mechanisms": list(doc.get("credentials", {}))})
    return {"users": out}
