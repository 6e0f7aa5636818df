"""Values printed the way the legacy mongo shell's tojson() prints them:
tab-indented '"key" : value' lines, shell types (NumberLong, Timestamp,
BinData, ObjectId, ISODate), and objects under 80 characters folded onto
one line at the top level."""
import base64
import datetime
import json
import math
import re
import uuid

from bson import Binary, Code, Decimal128, Int64, MaxKey, MinKey, ObjectId, Regex
from bson.timestamp import Timestamp

MAX_LINE = 80


def _number(v):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "Infinity" if v > 0 else "-Infinity"
    if v.is_integer() and abs(v) < 1e21:
        return str(int(v))
    return repr(v)


def _date(d):
    if d.tzinfo is not None:
        d = d.astimezone(datetime.timezone.utc)
    text = d.strftime("%Y-%m-%dT%H:%M:%S")
    if d.microsecond // 1000:
        text += ".%03d" % (d.microsecond // 1000)
    return 'ISODate("%sZ")' % text


def _scalar(v):
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, Int64):
        return "NumberLong(%d)" % v if abs(v) < 2 ** 53 else 'NumberLong("%d")' % v
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return _number(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, Timestamp):
        return "Timestamp(%d, %d)" % (v.time, v.inc)
    if isinstance(v, ObjectId):
        return 'ObjectId("%s")' % v
    if isinstance(v, uuid.UUID):
        return 'UUID("%s")' % v
    if isinstance(v, Binary):
        if v.subtype == 4 and len(v) == 16:
            return 'UUID("%s")' % uuid.UUID(bytes=bytes(v))
        return 'BinData(%d,"%s")' % (v.subtype, base64.b64encode(bytes(v)).decode())
    if isinstance(v, bytes):
        return 'BinData(0,"%s")' % base64.b64encode(v).decode()
    if isinstance(v, datetime.datetime):
        return _date(v)
    if isinstance(v, Decimal128):
        return 'NumberDecimal("%s")' % v
    if isinstance(v, (Regex, re.Pattern)):
        return "/%s/" % v.pattern
    if isinstance(v, MinKey):
        return '{ "$minKey" : 1 }'
    if isinstance(v, MaxKey):
        return '{ "$maxKey" : 1 }'
    if isinstance(v, Code):
        return json.dumps(str(v))
    return json.dumps(str(v))


def _object(doc, indent):
    if not doc:
        return "{ }"
    inner = indent + "\t"
    fields = ["%s%s : %s" % (inner, json.dumps(k, ensure_ascii=False), _value(v, inner))
              for k, v in doc.items()]
    return "{\n" + ",\n".join(fields) + "\n" + indent + "}"


def _array(items, indent):
    if not items:
        return "[ ]"
    inner = indent + "\t"
    parts = [inner + _value(v, inner) for v in items]
    return "[\n" + ",\n".join(parts) + "\n" + indent + "]"


def _value(v, indent):
    if isinstance(v, dict):
        return _object(v, indent)
    if isinstance(v, (list, tuple)):
        return _array(v, indent)
    return _scalar(v)


def tojson(v):
    """The shell's tojson(v) at the top level."""
    text = _value(v, "")
    if isinstance(v, (dict, list, tuple)) and len(text) < MAX_LINE:
        text = re.sub(r"[\t\r\n]+", " ", text)
    return text
