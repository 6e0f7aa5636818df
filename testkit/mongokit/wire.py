"""The MongoDB wire protocol: message framing, OP_QUERY/OP_REPLY and OP_MSG.

Only what drivers of the 4.4 era send is understood: OP_QUERY (the legacy
handshake and legacy commands) and OP_MSG with kind-0 body and kind-1
document sequences. A message that cannot be framed raises ProtocolError and
the caller closes the connection, as a server does.
"""
import struct

import bson
from bson.binary import UuidRepresentation
from bson.codec_options import CodecOptions

from .errors import ProtocolError

OP_REPLY = 1
OP_QUERY = 2004
OP_MSG = 2013
OP_COMPRESSED = 2012

HEADER = struct.Struct("<iiii")
MAX_MESSAGE_SIZE = 48000000
MAX_BSON_SIZE = 16 * 1024 * 1024

MSG_CHECKSUM_PRESENT = 1 << 0
MSG_MORE_TO_COME = 1 << 1

QUERY_SECONDARY_OK = 1 << 2
REPLY_QUERY_FAILURE = 1 << 1

# Documents keep their field order; Int64 stays Int64 and binary subtypes
# stay as sent (no UUID representation is imposed), so values round-trip.
CODEC = CodecOptions(document_class=dict, tz_aware=True,
                     uuid_representation=UuidRepresentation.UNSPECIFIED)


def decode(data):
    try:
        return bson.decode(data, CODEC)
    except Exception as exc:  # the codec raises several kinds
        raise BsonError(str(exc)) from exc


def encode(doc):
    return bson.encode(doc, codec_options=CODEC)


class BsonError(Exception):
    """Bytes that do not hold one valid BSON document."""


class Request:
    """One parsed client message."""

    def __init__(self, request_id, op_code):
        self.request_id = request_id
        self.op_code = op_code
        self.body = None          # the command document (with sequences merged)
        self.db = None
        self.more_to_come = False
        self.secondary_ok = False  # OP_QUERY slaveOk bit
        self.collection = None     # OP_QUERY non-command namespace
        self.skip = 0
        self.limit = 0
        self.fields = None


def read_message(recv_exact):
    """Read one message with recv_exact(n) -> bytes. Returns (header, payload)
    or None at a clean end of stream."""
    head = recv_exact(16)
    if head is None:
        return None
    length, request_id, response_to, op_code = HEADER.unpack(head)
    if length < 16 or length > MAX_MESSAGE_SIZE:
        raise ProtocolError("invalid message length %d" % length)
    payload = recv_exact(length - 16) if length > 16 else b""
    if payload is None:
        raise ProtocolError("connection closed inside a message")
    return (request_id, response_to, op_code), payload


def _cstring(data, pos):
    end = data.find(b"\x00", pos)
    if end < 0:
        raise ProtocolError("unterminated C string")
    return data[pos:end].decode("utf-8", "replace"), end + 1


def _document_at(data, pos, limit=None):
    limit = len(data) if limit is None else limit
    if pos + 4 > limit:
        raise ProtocolError("truncated document")
    (size,) = struct.unpack_from("<i", data, pos)
    if size < 5 or pos + size > limit:
        raise ProtocolError("invalid document length %d" % size)
    return data[pos:pos + size], pos + size


def parse_request(header, payload):
    """Turn a framed message into a Request. BSON errors inside a well-framed
    message raise BsonError (a reply can still be sent)."""
    request_id, _response_to, op_code = header
    req = Request(request_id, op_code)
    if op_code == OP_MSG:
        _parse_msg(req, payload)
    elif op_code == OP_QUERY:
        _parse_query(req, payload)
    else:
        raise ProtocolError("unsupported opcode %d" % op_code)
    return req


def _parse_msg(req, data):
    if len(data) < 5:
        raise ProtocolError("OP_MSG too short")
    (flags,) = struct.unpack_from("<I", data, 0)
    end = len(data)
    if flags & MSG_CHECKSUM_PRESENT:
        end -= 4
    if flags & ~(MSG_CHECKSUM_PRESENT | MSG_MORE_TO_COME | (1 << 16)):
        raise ProtocolError("unknown required OP_MSG flag bits %#x" % flags)
    req.more_to_come = bool(flags & MSG_MORE_TO_COME)
    pos = 4
    body = None
    sequences = []
    while pos < end:
        kind = data[pos]
        pos += 1
        if kind == 0:
            if body is not None:
                raise ProtocolError("OP_MSG with more than one body")
            raw, pos = _document_at(data, pos, end)
            body = decode(raw)
        elif kind == 1:
            if pos + 4 > end:
                raise ProtocolError("truncated document sequence")
            (size,) = struct.unpack_from("<i", data, pos)
            seq_end = pos + size
            if size < 5 or seq_end > end:
                raise ProtocolError("invalid document sequence length")
            ident, p = _cstring(data, pos + 4)
            docs = []
            while p < seq_end:
                raw, p = _document_at(data, p, seq_end)
                docs.append(decode(raw))
            sequences.append((ident, docs))
            pos = seq_end
        else:
            raise ProtocolError("unknown OP_MSG section kind %d" % kind)
    if body is None:
        raise ProtocolError("OP_MSG without a body")
    for ident, docs in sequences:
        if ident in body:
            raise BsonError("duplicate field %s in body and document sequence" % ident)
        body[ident] = docs
    req.db = body.get("$db")
    if not isinstance(req.db, str):
        raise BsonError("OP_MSG requests require a $db argument")
    req.body = body


def _parse_query(req, data):
    if len(data) < 4:
        raise ProtocolError("OP_QUERY too short")
    (flags,) = struct.unpack_from("<i", data, 0)
    req.secondary_ok = bool(flags & QUERY_SECONDARY_OK)
    ns, pos = _cstring(data, 4)
    if pos + 8 > len(data):
        raise ProtocolError("OP_QUERY too short")
    req.skip, req.limit = struct.unpack_from("<ii", data, pos)
    raw, pos = _document_at(data, pos + 8)
    query = decode(raw)
    if pos < len(data):
        raw, pos = _document_at(data, pos)
        req.fields = decode(raw)
    db, _, coll = ns.partition(".")
    req.db = db
    if coll == "$cmd":
        # Legacy drivers wrap commands as {$query: {...}, $readPreference: ...}.
        if isinstance(query.get("$query"), dict):
            inner = dict(query["$query"])
            if "$readPreference" in query:
                inner["$readPreference"] = query["$readPreference"]
            query = inner
        req.body = query
    else:
        req.collection = coll
        req.body = query


def _header(length, request_id, response_to, op_code):
    return HEADER.pack(length, request_id, response_to, op_code)


def build_msg(request_id, response_to, doc, flags=0):
    body = encode(doc)
    payload = struct.pack("<I", flags) + b"\x00" + body
    return _header(16 + len(payload), request_id, response_to, OP_MSG) + payload


def build_reply(request_id, response_to, docs, cursor_id=0, flags=0):
    raw = b"".join(encode(d) for d in docs)
    payload = struct.pack("<iqii", flags, cursor_id, 0, len(docs)) + raw
    return _header(16 + len(payload), request_id, response_to, OP_REPLY) + payload


def build_query(request_id, ns, doc, flags=0):
    payload = (struct.pack("<i", flags) + ns.encode() + b"\x00"
               + struct.pack("<ii", 0, -1) + encode(doc))
    return _header(16 + len(payload), request_id, 0, OP_QUERY) + payload


def parse_reply_payload(op_code, payload):
    """Client side: the first document of an OP_MSG or OP_REPLY answer."""
    if op_code == OP_MSG:
        # Replies carry no $db; parse the sections by hand.
        pos = 4
        while pos < len(payload):
            kind = payload[pos]
            pos += 1
            if kind == 0:
                raw, pos = _document_at(payload, pos)
                return decode(raw)
            (size,) = struct.unpack_from("<i", payload, pos)
            pos += size
        raise ProtocolError("OP_MSG reply without body")
    if op_code == OP_REPLY:
        raw, _ = _document_at(payload, 20)
        return decode(raw)
    raise ProtocolError("unexpected reply opcode %d" % op_code)
