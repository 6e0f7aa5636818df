"""The kit's storage engine: one append-only record file per collection.

Layout under the dbPath:
    storage.bson                 format marker {"engine": "mongokit", "format": 1}
    <db>/<collection>.kcol       records of one collection
    mongod.lock                  the process id while a server runs

A record file is a plain sequence of BSON documents:
    {"k": "m", "o": <options>, "u": <uuid>, "x": [<index description>, ...]}
                                              collection metadata: first, and
                                              again whenever the indexes change
    {"k": "p", "d": <document>}               insert or replace (by _id)
    {"k": "d", "i": <_id>}                    delete
Every record is written and flushed before the write returns, so a copy of a
stopped (or fsync-locked) server's directory holds every acknowledged write.
A torn record at the end (a crash mid-write) is cut off when the file loads.
Files are compacted (rewritten and renamed into place) once most of their
bytes are superseded records.
"""
import os
import struct
import uuid

import bson
from bson.binary import Binary

from .bsonvalues import identity_key
from .errors import CommandError
from .wire import CODEC

FORMAT_FILE = "storage.bson"
EXTENSION = ".kcol"
_SAFE = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-")
COMPACT_MIN_GARBAGE = 256 * 1024
ID_INDEX = {"v": 2, "key": {"_id": 1}, "name": "_id_"}


def escape_name(name):
    """A file-name-safe spelling of a database or collection name."""
    return "".join(chr(b) if chr(b) in _SAFE else "%%%02X" % b for b in name.encode("utf-8"))


def unescape_name(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "%" and i + 3 <= len(text):
            out.append(int(text[i + 1:i + 3], 16))
            i += 3
        else:
            out.extend(text[i].encode("utf-8"))
            i += 1
    return out.decode("utf-8", "replace")


def _encode(doc):
    return bson.encode(doc, codec_options=CODEC)


def _read_records(path):
    """Yields decoded records and returns the offset of the first bad byte."""
    with open(path, "rb") as f:
        data = f.read()
    pos, good = 0, []
    while pos + 4 <= len(data):
        (size,) = struct.unpack_from("<i", data, pos)
        if size < 5 or pos + size > len(data):
            break
        try:
            good.append((bson.decode(data[pos:pos + size], CODEC), size))
        except Exception:
            break
        pos += size
    return good, pos, len(data)


class Collection:
    """Documents of one namespace, in insertion (natural) order."""

    def __init__(self, engine, db, name, path):
        self.engine = engine
        self.db = db
        self.name = name
        self.path = path
        self.docs = {}
        self.sizes = {}
        self.options = {}
        self.uuid = None
        self.indexes = []  # specs of the indexes beside _id_
        self.live_bytes = 0
        self.file_bytes = 0
        self._file = None
        # Oplog entries carry no _id; their timestamp identifies them.
        self.key_field = "ts" if db == "local" and name.startswith("oplog.") else "_id"

    def key_of(self, doc):
        return identity_key(doc.get(self.key_field))

    @property
    def ns(self):
        return "%s.%s" % (self.db, self.name)

    @property
    def capped(self):
        return bool(self.options.get("capped"))

    def create(self, options):
        self.options = dict(options or {})
        self.uuid = uuid.uuid4()
        self._rewrite()

    def load(self):
        records, good_end, total = _read_records(self.path)
        if good_end < total:
            # A torn tail from an interrupted write: drop it for good.
            with open(self.path, "r+b") as f:
                f.truncate(good_end)
        for rec, size in records:
            kind = rec.get("k")
            if kind == "m":
                self.options = rec.get("o") or {}
                self.indexes = rec.get("x") or []
                u = rec.get("u")
                self.uuid = u if isinstance(u, uuid.UUID) else uuid.UUID(bytes=bytes(u)) if u else uuid.uuid4()
            elif kind == "p":
                doc = rec["d"]
                key = self.key_of(doc)
                self.docs[key] = doc
                self.live_bytes += size - self.sizes.get(key, 0)
                self.sizes[key] = size
            elif kind == "d":
                key = identity_key(rec.get("i"))
                if key in self.docs:
                    del self.docs[key]
                    self.live_bytes -= self.sizes.pop(key)
        self.file_bytes = good_end
        self._file = open(self.path, "ab")

    def _append(self, record):
        self.engine.check_writable()
        raw = _encode(record)
        self._file.write(raw)
        self._file.flush()
        self.file_bytes += len(raw)
        return len(raw)

    def _rewrite(self):
        """Writes the live records to a new file and renames it into place."""
        tmp = self.path + ".compact"
        meta = self._meta()
        with open(tmp, "wb") as f:
            f.write(_encode(meta))
            for doc in self.docs.values():
                f.write(_encode({"k": "p", "d": doc}))
            f.flush()
            os.fsync(f.fileno())
        if self._file:
            self._file.close()
        os.replace(tmp, self.path)
        self.file_bytes = os.path.getsize(self.path)
        self._file = open(self.path, "ab")

    def _meta(self):
        return {"k": "m", "o": self.options, "u": Binary.from_uuid(self.uuid), "x": self.indexes}

    def all_indexes(self):
        # The oplog has no _id index: its entries are kept by timestamp.
        return ([ID_INDEX] if self.key_field == "_id" else []) + self.indexes

    def set_indexes(self, specs):
        """Replaces the secondary index specs (kept as metadata only)."""
        self.indexes = list(specs)
        self._append(self._meta())

    def _maybe_compact(self):
        garbage = self.file_bytes - self.live_bytes
        if garbage > max(self.live_bytes, COMPACT_MIN_GARBAGE):
            self._rewrite()

    def get(self, _id):
        return self.docs.get(identity_key(_id))

    def put(self, doc):
        """Inserts or replaces the document with doc's key (_id)."""
        key = self.key_of(doc)
        size = self._append({"k": "p", "d": doc})
        self.docs[key] = doc
        self.live_bytes += size - self.sizes.get(key, 0)
        self.sizes[key] = size
        if self.capped:
            self._trim()
        self._maybe_compact()

    def insert(self, doc):
        if self.key_of(doc) in self.docs:
            raise CommandError(11000, "E11000 duplicate key error collection: %s index: _id_ "
                               "dup key: { _id: %r }" % (self.ns, doc.get("_id")))
        self.put(doc)

    def delete(self, _id):
        key = identity_key(_id)
        if key not in self.docs:
            return False
        self._append({"k": "d", "i": _id})
        del self.docs[key]
        self.live_bytes -= self.sizes.pop(key)
        self._maybe_compact()
        return True

    def _trim(self):
        cap = int(self.options.get("size") or 0)
        limit = int(self.options.get("max") or 0)
        while len(self.docs) > 1 and (cap and self.live_bytes > cap or
                                      limit and len(self.docs) > limit):
            key = next(iter(self.docs))
            oldest = self.docs[key]
            self._append({"k": "d", "i": oldest.get(self.key_field)})
            del self.docs[key]
            self.live_bytes -= self.sizes.pop(key)

    def resize(self, size):
        """Changes a capped collection's size, trimming the oldest documents."""
        self.options["size"] = size
        self._trim()
        self._rewrite()

    def truncate_before(self, predicate):
        """Drops the oldest documents while predicate(doc) holds (test hook
        for oplog rollover)."""
        removed = 0
        while self.docs:
            key = next(iter(self.docs))
            if not predicate(self.docs[key]):
                break
            self.delete(self.docs[key].get(self.key_field))
            removed += 1
        return removed

    def values(self):
        return list(self.docs.values())

    def fsync(self):
        if self._file:
            self._file.flush()
            os.fsync(self._file.fileno())

    def close(self):
        if self._file:
            self._file.close()
            self._file = None

    def remove_file(self):
        self.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


class StorageEngine:
    """All databases of one dbPath. Callers serialise access (the server's
    engine lock); nothing here blocks."""

    def __init__(self, dbpath):
        self.dbpath = dbpath
        self.dbs = {}
        self.frozen = False

    def open(self):
        marker = os.path.join(self.dbpath, FORMAT_FILE)
        if not os.path.exists(marker):
            with open(marker, "wb") as f:
                f.write(_encode({"engine": "mongokit", "format": 1}))
        for entry in sorted(os.listdir(self.dbpath)):
            dbdir = os.path.join(self.dbpath, entry)
            if not os.path.isdir(dbdir):
                continue
            for fname in sorted(os.listdir(dbdir)):
                if not fname.endswith(EXTENSION):
                    continue
                coll = Collection(self, unescape_name(entry), unescape_name(fname[:-len(EXTENSION)]),
                                  os.path.join(dbdir, fname))
                coll.load()
                self.dbs.setdefault(coll.db, {})[coll.name] = coll

    def check_writable(self):
        if self.frozen:
            # Callers wait for fsyncUnlock before writing; reaching this is a bug.
            raise CommandError(1, "storage is fsync-locked: no write may reach disk")

    def collection(self, db, name):
        return self.dbs.get(db, {}).get(name)

    def create_collection(self, db, name, options=None, must_be_new=True):
        existing = self.collection(db, name)
        if existing:
            if must_be_new:
                raise CommandError(48, "Collection already exists. NS: %s.%s" % (db, name))
            return existing
        self.check_writable()
        dbdir = os.path.join(self.dbpath, escape_name(db))
        os.makedirs(dbdir, exist_ok=True)
        coll = Collection(self, db, name, os.path.join(dbdir, escape_name(name) + EXTENSION))
        coll.create(options)
        self.dbs.setdefault(db, {})[name] = coll
        return coll

    def drop_collection(self, db, name):
        coll = self.collection(db, name)
        if not coll:
            return False
        self.check_writable()
        coll.remove_file()
        del self.dbs[db][name]
        if not self.dbs[db]:
            self._remove_db_dir(db)
        return True

    def drop_database(self, db):
        if db not in self.dbs:
            return False
        self.check_writable()
        for coll in list(self.dbs[db].values()):
            coll.remove_file()
        self._remove_db_dir(db)
        return True

    def _remove_db_dir(self, db):
        self.dbs.pop(db, None)
        try:
            os.rmdir(os.path.join(self.dbpath, escape_name(db)))
        except OSError:
            pass

    def database_names(self):
        return sorted(name for name, colls in self.dbs.items() if colls)

    def database_size(self, db):
        return sum(c.file_bytes for c in self.dbs.get(db, {}).values())

    def fsync_all(self):
        for colls in self.dbs.values():
            for coll in colls.values():
                coll.fsync()

    def close(self):
        for colls in self.dbs.values():
            for coll in colls.values():
                coll.close()
