"""Ordering and identity of BSON values, as MongoDB compares them."""
import datetime
import decimal
import re
import uuid

from bson import Binary, Code, Decimal128, Int64, MaxKey, MinKey, ObjectId, Regex
from bson.timestamp import Timestamp

# Canonical type ranks of MongoDB's comparison order.
_MINKEY, _NULL, _NUMBER, _STRING, _OBJECT, _ARRAY, _BINDATA, _OBJECTID, \
    _BOOL, _DATE, _TIMESTAMP, _REGEX, _CODE, _MAXKEY = range(14)


def type_rank(v):
    if v is None:
        return _NULL
    if isinstance(v, bool):
        return _BOOL
    if isinstance(v, (int, float, Decimal128)):
        return _NUMBER
    if isinstance(v, str):
        return _STRING
    if isinstance(v, dict):
        return _OBJECT
    if isinstance(v, (list, tuple)):
        return _ARRAY
    if isinstance(v, (bytes, Binary, uuid.UUID)):
        return _BINDATA
    if isinstance(v, ObjectId):
        return _OBJECTID
    if isinstance(v, datetime.datetime):
        return _DATE
    if isinstance(v, Timestamp):
        return _TIMESTAMP
    if isinstance(v, (Regex, re.Pattern)):
        return _REGEX
    if isinstance(v, Code):
        return _CODE
    if isinstance(v, MinKey):
        return _MINKEY
    if isinstance(v, MaxKey):
        return _MAXKEY
    return _OBJECT


def _number(v):
    if isinstance(v, Decimal128):
        return v.to_decimal()
    return v


def _binary_parts(v):
    if isinstance(v, uuid.UUID):
        return 4, v.bytes
    if isinstance(v, Binary):
        return v.subtype, bytes(v)
    return 0, bytes(v)


def _cmp(a, b):
    return (a > b) - (a < b)


def compare(a, b):
    """Three-way comparison in MongoDB's order (-1, 0, 1)."""
    ra, rb = type_rank(a), type_rank(b)
    if ra != rb:
        return _cmp(ra, rb)
    if ra == _NUMBER:
        x, y = _number(a), _number(b)
        if isinstance(x, decimal.Decimal) or isinstance(y, decimal.Decimal):
            x, y = decimal.Decimal(x), decimal.Decimal(y)
        return _cmp(x, y)
    if ra in (_STRING, _BOOL, _DATE, _TIMESTAMP):
        return _cmp(a, b)
    if ra == _OBJECTID:
        return _cmp(a.binary, b.binary)
    if ra == _BINDATA:
        sa, da = _binary_parts(a)
        sb, db = _binary_parts(b)
        return _cmp((len(da), sa, da), (len(db), sb, db))
    if ra == _ARRAY:
        for x, y in zip(a, b):
            c = compare(x, y)
            if c:
                return c
        return _cmp(len(a), len(b))
    if ra == _OBJECT:
        ia, ib = list(a.items()), list(b.items())
        for (ka, va), (kb, vb) in zip(ia, ib):
            c = _cmp(type_rank(va), type_rank(vb)) or _cmp(ka, kb) or compare(va, vb)
            if c:
                return c
        return _cmp(len(ia), len(ib))
    if ra == _REGEX:
        return _cmp((a.pattern, str(a.flags)), (b.pattern, str(b.flags)))
    if ra == _CODE:
        return _cmp(str(a), str(b))
    return 0


def equal(a, b):
    return compare(a, b) == 0


def identity_key(v):
    """A hashable key such that values MongoDB treats as equal share it
    (1, 1.0 and Int64(1) are one _id)."""
    r = type_rank(v)
    if r == _NUMBER:
        n = _number(v)
        try:
            if n == int(n):
                return ("n", int(n))
        except (OverflowError, ValueError, decimal.InvalidOperation):
            pass
        return ("n", float(n))
    if r == _OBJECT:
        return ("o",) + tuple((k, identity_key(x)) for k, x in v.items())
    if r == _ARRAY:
        return ("a",) + tuple(identity_key(x) for x in v)
    if r == _BINDATA:
        return ("b",) + _binary_parts(v)
    if r == _OBJECTID:
        return ("i", v.binary)
    if r == _REGEX:
        return ("r", v.pattern, str(v.flags))
    if r in (_MINKEY, _MAXKEY, _NULL):
        return (r,)
    return (r, v)


def is_number(v):
    return type_rank(v) == _NUMBER


def is_integral(v):
    return isinstance(v, int) and not isinstance(v, bool)


__all__ = ["compare", "equal", "identity_key", "type_rank", "is_number", "Int64"]
