"""Update documents: replacement and the $set/$unset/$inc family.

apply_update returns the new document, whether it changed, and the
idempotent oplog form of the change ({$v: 1, $set, $unset} or the full
replacement), which is what secondaries apply.
"""
from bson import Int64, ObjectId

from .bsonvalues import equal, is_number
from .errors import CommandError
from .query import deepcopy

_SUPPORTED = ("$set", "$unset", "$inc", "$setOnInsert", "$push", "$addToSet")


def is_replacement(update):
    return isinstance(update, dict) and not any(k.startswith("$") for k in update)


def validate_update(update):
    if isinstance(update, list):
        raise CommandError(9, "pipeline-style updates are not supported by this server")
    if not isinstance(update, dict):
        raise CommandError(9, "Update argument must be either an object or an array")
    if is_replacement(update):
        return
    for op, arg in update.items():
        if op not in _SUPPORTED:
            raise CommandError(9, "Unknown modifier: %s. Expected a valid update modifier "
                               "or pipeline-style update specified as an array" % op)
        if not isinstance(arg, dict):
            raise CommandError(9, "Modifiers operate on fields but we found type %s instead. "
                               "For example: {$mod: {<field>: ...}} not {%s: %r}"
                               % (type(arg).__name__, op, arg))


def _parent(doc, parts, create, full_path):
    cur = doc
    for i, part in enumerate(parts[:-1]):
        if isinstance(cur, dict):
            if part not in cur:
                if not create:
                    return None
                cur[part] = {}
            cur = cur[part]
        elif isinstance(cur, list) and part.isdigit():
            idx = int(part)
            if idx >= len(cur):
                if not create:
                    return None
                cur.extend([None] * (idx + 1 - len(cur)))
                cur[idx] = {}
            cur = cur[idx]
        else:
            if not create:
                return None
            raise CommandError(28, "Cannot create field '%s' in element {%s: %r}"
                               % (parts[i], parts[i - 1] if i else full_path, cur))
        if not isinstance(cur, (dict, list)):
            if not create:
                return None
            raise CommandError(28, "Cannot create field '%s' in element {%s: %r}"
                               % (parts[i + 1], part, cur))
    return cur


def _get(doc, parts):
    parent = _parent(doc, parts, False, ".".join(parts))
    if isinstance(parent, dict):
        return parent.get(parts[-1], _ABSENT)
    if isinstance(parent, list) and parts[-1].isdigit() and int(parts[-1]) < len(parent):
        return parent[int(parts[-1])]
    return _ABSENT


_ABSENT = object()


def _set(doc, parts, value):
    parent = _parent(doc, parts, True, ".".join(parts))
    last = parts[-1]
    if isinstance(parent, list):
        if not last.isdigit():
            raise CommandError(28, "Cannot create field '%s' in an array" % last)
        idx = int(last)
        if idx >= len(parent):
            parent.extend([None] * (idx + 1 - len(parent)))
        parent[idx] = value
    else:
        parent[last] = value


def _unset(doc, parts):
    parent = _parent(doc, parts, False, ".".join(parts))
    if isinstance(parent, dict) and parts[-1] in parent:
        del parent[parts[-1]]
        return True
    if isinstance(parent, list) and parts[-1].isdigit() and int(parts[-1]) < len(parent):
        parent[int(parts[-1])] = None
        return True
    return False


def _add(a, b):
    total = a + b
    if isinstance(a, float) or isinstance(b, float):
        return float(total)
    if isinstance(a, Int64) or isinstance(b, Int64) or not -2**31 <= total < 2**31:
        return Int64(total)
    return total


def _check_conflicts(update):
    seen = []
    for op, arg in update.items():
        for path in arg:
            for other in seen:
                if path == other or path.startswith(other + ".") or other.startswith(path + "."):
                    raise CommandError(40, "Updating the path '%s' would create a conflict at '%s'"
                                       % (path, other))
            seen.append(path)


def apply_update(doc, update, inserting=False):
    """Returns (new_doc, changed, oplog_object). Raises CommandError for
    updates MongoDB would refuse."""
    if is_replacement(update):
        new = dict(update)
        if "_id" in doc:
            if "_id" in new and not equal(new["_id"], doc["_id"]):
                raise CommandError(66, "After applying the update, the (immutable) field '_id' "
                                   "was found to have been altered to _id: %r" % (new["_id"],))
            new = {"_id": doc["_id"], **{k: v for k, v in new.items() if k != "_id"}}
        return new, not equal(new, doc), new
    _check_conflicts(update)
    new = deepcopy(doc)
    sets, unsets = {}, {}
    for op, arg in update.items():
        for path, value in arg.items():
            if path == "_id" or path.startswith("_id."):
                if op == "$setOnInsert" and inserting or \
                        op == "$set" and "_id" in doc and equal(doc["_id"], value):
                    continue
                raise CommandError(66, "Performing an update on the path '_id' would modify "
                                   "the immutable field '_id'")
            parts = path.split(".")
            if "" in parts:
                raise CommandError(56, "An empty update path is not valid.")
            old = _get(new, parts)
            if op == "$set" or (op == "$setOnInsert" and inserting):
                if old is _ABSENT or not equal(old, value) or type(old) is not type(value):
                    _set(new, parts, value)
                    sets[path] = value
            elif op == "$unset":
                if _unset(new, parts):
                    unsets[path] = True
            elif op == "$inc":
                if not is_number(value) or isinstance(value, bool):
                    raise CommandError(14, "Cannot increment with non-numeric argument: {%s: %r}"
                                       % (path, value))
                if old is _ABSENT:
                    result = value
                elif not is_number(old) or isinstance(old, bool):
                    raise CommandError(14, "Cannot apply $inc to a value of non-numeric type. "
                                       "{_id: %r} has the field '%s' of non-numeric type %s"
                                       % (doc.get("_id"), parts[-1], type(old).__name__))
                else:
                    result = _add(old, value)
                _set(new, parts, result)
                sets[path] = result
            elif op in ("$push", "$addToSet"):
                items = value["$each"] if isinstance(value, dict) and "$each" in value else [value]
                current = [] if old is _ABSENT else old
                if not isinstance(current, list):
                    raise CommandError(2, "The field '%s' must be an array but is of type %s in "
                                       "document {_id: %r}" % (path, type(current).__name__,
                                                               doc.get("_id")))
                current = list(current)
                for item in items:
                    if op == "$push" or not any(equal(item, x) for x in current):
                        current.append(item)
                _set(new, parts, current)
                sets[path] = current
    changed = bool(sets or unsets) and not equal(new, doc)
    oplog = {"$v": 1}
    if sets:
        oplog["$set"] = sets
    if unsets:
        oplog["$unset"] = unsets
    return new, changed, oplog


def _equality_fields(query, out):
    for key, condition in query.items():
        if key == "$and" and isinstance(condition, list):
            for sub in condition:
                if isinstance(sub, dict):
                    _equality_fields(sub, out)
        elif key.startswith("$"):
            continue
        elif isinstance(condition, dict) and condition and next(iter(condition)).startswith("$"):
            if "$eq" in condition:
                out[key] = condition["$eq"]
        else:
            out[key] = condition


def upsert_document(query, update):
    """The document an upsert inserts when nothing matched."""
    seed = {}
    _equality_fields(query or {}, seed)
    base = {}
    for path, value in seed.items():
        _set(base, path.split("."), deepcopy(value))
    if is_replacement(update):
        doc = dict(update)
        if "_id" not in doc and "_id" in base:
            doc = {"_id": base["_id"], **doc}
    else:
        doc, _, _ = apply_update(base, update, inserting=True)
    if "_id" not in doc:
        doc = {"_id": ObjectId(), **doc}
    elif next(iter(doc)) != "_id":
        doc = {"_id": doc["_id"], **{k: v for k, v in doc.items() if k != "_id"}}
    return doc


def apply_oplog_update(doc, o):
    """Applies the o field of an 'u' oplog entry (modifier or replacement)."""
    if "$v" in o or any(k.startswith("$") for k in o):
        new = deepcopy(doc)
        for path, value in (o.get("$set") or {}).items():
            _set(new, path.split("."), value)
        for path in (o.get("$unset") or {}):
            _unset(new, path.split("."))
        return new
    return {"_id": doc["_id"], **{k: v for k, v in o.items() if k != "_id"}} if "_id" in doc else dict(o)
