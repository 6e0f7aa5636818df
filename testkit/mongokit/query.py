"""Query filters, sort orders and projections over documents.

Covers the operators the kit documents: equality (with array membership and
dotted paths), $eq $ne $gt $gte $lt $lte $in $nin $exists $regex $not $size,
and the logical $and $or $nor. Anything else fails like MongoDB does.
"""
import functools
import re

from bson import Regex

from .bsonvalues import compare, equal, type_rank
from .errors import CommandError

_MISSING = object()


def _path_values(doc, parts):
    """Every value the dotted path reaches, expanding arrays the way MongoDB
    does. Yields _MISSING when the path ends nowhere."""
    if not parts:
        yield doc
        return
    head, rest = parts[0], parts[1:]
    if isinstance(doc, dict):
        if head in doc:
            yield from _path_values(doc[head], rest)
        else:
            yield _MISSING
    elif isinstance(doc, list):
        found = False
        if head.isdigit() and int(head) < len(doc):
            found = True
            yield from _path_values(doc[int(head)], rest)
        for item in doc:
            if isinstance(item, (dict, list)):
                for v in _path_values(item, parts):
                    if v is not _MISSING:
                        found = True
                        yield v
        if not found:
            yield _MISSING
    else:
        yield _MISSING


def get_path(doc, path, default=None):
    """The value at a dotted path without array expansion."""
    cur = doc
    for part in path.split("."):
        if isinstance(cur, dict) and part in cur:
            cur = cur[part]
        elif isinstance(cur, list) and part.isdigit() and int(part) < len(cur):
            cur = cur[int(part)]
        else:
            return default
    return cur


def _candidates(value):
    """A value and, when it is an array, its elements."""
    if isinstance(value, list):
        return [value] + value
    return [value]


def _regex_of(pattern, options=""):
    if isinstance(pattern, Regex):
        flags = pattern.flags
        pattern, options = pattern.pattern, ""
    elif isinstance(pattern, re.Pattern):
        return pattern
    else:
        flags = 0
    for ch in options or "":
        flags |= {"i": re.I, "m": re.M, "s": re.S, "x": re.X}.get(ch, 0)
    try:
        return re.compile(pattern, flags)
    except re.error as exc:
        raise CommandError(51091, "Regular expression is invalid: %s" % exc)


def _eq(value, target):
    if isinstance(target, (Regex, re.Pattern)):
        rx = _regex_of(target)
        return any(isinstance(c, str) and rx.search(c) for c in _candidates(value))
    if value is _MISSING:
        return target is None
    return any(equal(c, target) for c in _candidates(value))


def _ordered(value, target, test):
    if value is _MISSING:
        value = None
    for c in _candidates(value):
        # Comparisons only hold within one canonical type (type bracketing).
        if type_rank(c) == type_rank(target) and test(compare(c, target)):
            return True
    return False


_ORDERS = {
    "$gt": lambda c: c > 0, "$gte": lambda c: c >= 0,
    "$lt": lambda c: c < 0, "$lte": lambda c: c <= 0,
}


def _match_operator(values, op, arg, condition):
    if op == "$eq":
        return any(_eq(v, arg) for v in values)
    if op == "$ne":
        return not any(_eq(v, arg) for v in values)
    if op in _ORDERS:
        return any(_ordered(v, arg, _ORDERS[op]) for v in values)
    if op in ("$in", "$nin"):
        if not isinstance(arg, list):
            raise CommandError(2, "%s needs an array" % op)
        hit = any(_eq(v, t) for v in values for t in arg)
        return hit if op == "$in" else not hit
    if op == "$exists":
        present = any(v is not _MISSING for v in values)
        return present == bool(arg)
    if op == "$regex":
        rx = _regex_of(arg, condition.get("$options", ""))
        return any(isinstance(c, str) and rx.search(c)
                   for v in values if v is not _MISSING for c in _candidates(v))
    if op == "$options":
        if "$regex" not in condition:
            raise CommandError(2, "$options needs a $regex")
        return True
    if op == "$not":
        if isinstance(arg, dict):
            return not _match_field_values(values, arg)
        if isinstance(arg, (Regex, re.Pattern)):
            return not any(_eq(v, arg) for v in values)
        raise CommandError(2, "$not needs a regex or a document")
    if op == "$size":
        return any(isinstance(v, list) and len(v) == arg for v in values)
    raise CommandError(2, "unknown operator: %s" % op)


def _is_operator_doc(condition):
    return isinstance(condition, dict) and condition and next(iter(condition)).startswith("$")


def _match_field_values(values, condition):
    if _is_operator_doc(condition):
        return all(_match_operator(values, op, arg, condition) for op, arg in condition.items())
    return any(_eq(v, condition) for v in values)


def matches(doc, query):
    """True when doc satisfies the filter document."""
    for key, condition in (query or {}).items():
        if key.startswith("$"):
            if key in ("$and", "$or", "$nor"):
                if not isinstance(condition, list) or not condition:
                    raise CommandError(2, "$and/$or/$nor must be a nonempty array")
                results = (matches(doc, sub) for sub in condition)
                ok = all(results) if key == "$and" else any(results)
                if (not ok) if key != "$nor" else ok:
                    return False
            elif key == "$comment":
                continue
            else:
                raise CommandError(2, "unknown top level operator: %s" % key)
        else:
            values = list(_path_values(doc, key.split(".")))
            if not _match_field_values(values, condition):
                return False
    return True


def validate_filter(query):
    """Raises the error a malformed filter gives, even on empty collections."""
    if not isinstance(query, dict):
        raise CommandError(14, "filter must be an object")
    matches({}, query)


def _sort_value(doc, path, direction):
    vals = [v for v in _path_values(doc, path.split(".")) if v is not _MISSING]
    if not vals:
        return None
    flat = []
    for v in vals:
        flat.extend(v if isinstance(v, list) and v else [v])
    pick = min if direction > 0 else max
    return pick(flat, key=functools.cmp_to_key(compare))


def sort_documents(docs, sort):
    """Sorts a list of documents by a sort document. {$natural: -1}
    reverses storage order."""
    if not sort:
        return docs
    if not isinstance(sort, dict):
        raise CommandError(2, "sort must be an object")
    keys = list(sort.items())
    if keys[0][0] == "$natural":
        return list(reversed(docs)) if keys[0][1] < 0 else docs
    for _, d in keys:
        if d not in (1, -1):
            raise CommandError(15975, "$sort key ordering must be 1 (for ascending) or -1 (for descending)")

    def cmp(a, b):
        for path, direction in keys:
            c = compare(_sort_value(a, path, direction), _sort_value(b, path, direction))
            if c:
                return c * int(direction)
        return 0
    return sorted(docs, key=functools.cmp_to_key(cmp))


def _truthy(v):
    return bool(v) if not isinstance(v, dict) else True


def project(doc, projection):
    """Applies an inclusion or exclusion projection."""
    if not projection:
        return doc
    fields = dict(projection)
    keep_id = _truthy(fields.pop("_id", True))
    modes = {_truthy(v) for v in fields.values()}
    if len(modes) > 1:
        field = next(k for k, v in fields.items() if not _truthy(v))
        raise CommandError(31254, "Cannot do exclusion on field %s in inclusion projection" % field)
    inclusion = modes == {True}
    if inclusion:
        out = {}
        if keep_id and "_id" in doc:
            out["_id"] = doc["_id"]
        for path in fields:
            _copy_path(doc, out, path.split("."))
        return out
    out = _deepcopy(doc)
    if not keep_id:
        out.pop("_id", None)
    for path in fields:
        _remove_path(out, path.split("."))
    return out


def _copy_path(src, dst, parts):
    if not isinstance(src, dict) or parts[0] not in src:
        return
    v = src[parts[0]]
    if len(parts) == 1:
        dst[parts[0]] = v
    elif isinstance(v, dict):
        sub = dst.setdefault(parts[0], {})
        _copy_path(v, sub, parts[1:])
    elif isinstance(v, list):
        items = dst.setdefault(parts[0], [])
        items.clear()
        for item in v:
            if isinstance(item, dict):
                sub = {}
                _copy_path(item, sub, parts[1:])
                items.append(sub)


def _remove_path(doc, parts):
    if isinstance(doc, dict):
        if len(parts) == 1:
            doc.pop(parts[0], None)
        elif parts[0] in doc:
            _remove_path(doc[parts[0]], parts[1:])
    elif isinstance(doc, list):
        for item in doc:
            _remove_path(item, parts)


def _deepcopy(v):
    if isinstance(v, dict):
        return {k: _deepcopy(x) for k, x in v.items()}
    if isinstance(v, list):
        return [_deepcopy(x) for x in v]
    return v


deepcopy = _deepcopy
