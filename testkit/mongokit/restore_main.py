"""mongorestore: loads what mongodump wrote (<dir>/<db>/<collection>.bson
with its .metadata.json) into a server, inserting only (a document whose
_id exists fails and is counted, the rest go on), and with --oplogReplay
applies <dir>/oplog.bson: every entry before --oplogLimit (seconds[:ordinal],
exclusive; 0 means no limit), through applyOps, which applies them
idempotently as replication does.

Namespaces are chosen by --db/--collection or --nsInclude/--nsExclude and
renamed by --nsFrom/--nsTo (see nsmatch.py); --drop drops each restored
collection first.
"""
import json
import os

from bson import decode_file_iter, json_util
from bson.codec_options import CodecOptions
from bson.errors import InvalidBSON
from bson.raw_bson import RawBSONDocument
from bson.timestamp import Timestamp
from pymongo import errors

from . import toolcli
from .nsmatch import PatternError, Renamer, matches_any
from .toolcli import FLAG, MULTI, VALUE, OptionError, ToolError, log

USAGE = """Usage:
  mongorestore <options> <directory or file to restore>

Restore backups generated with mongodump to a running server.

  -h, --host=<hostname>          mongodb host to connect to (setname/host1,host2 for replica sets)
      --port=<port>              server port (can also use --host hostname:port)
  -u, --username, -p, --password, --authenticationDatabase (the password is asked for when empty)
      --ssl, --sslCAFile, --sslPEMKeyFile, --sslPEMKeyPassword (and the --tls names)
  -d, --db=, -c, --collection=   restore one database or collection
      --nsInclude=, --nsExclude= namespaces to restore or leave out ('db.*' wildcards)
      --nsFrom=, --nsTo=         rename namespaces ('db.*' -> 'db_copy.*', $var$ variables)
      --drop                     drop each collection before restoring it
      --oplogReplay              replay oplog.bson of the dump directory
      --oplogLimit=<seconds>[:ordinal]  only replay entries before this timestamp
      --dir=<directory-name>     the dump directory (instead of the positional argument)
"""

TABLE = toolcli.CONNECTION_OPTIONS + [
    (("--nsInclude",), "ns_include", MULTI),
    (("--nsExclude",), "ns_exclude", MULTI),
    (("--nsFrom",), "ns_from", MULTI),
    (("--nsTo",), "ns_to", MULTI),
    (("--drop",), "drop", FLAG),
    (("--dryRun",), "dry_run", FLAG),
    (("--oplogReplay",), "oplog_replay", FLAG),
    (("--oplogLimit",), "oplog_limit", VALUE),
    (("--oplogFile",), "oplog_file", VALUE),
    (("--dir",), "dir", VALUE),
    (("--noIndexRestore",), "no_index_restore", FLAG),
    (("--noOptionsRestore",), "no_options_restore", FLAG),
    (("--keepIndexVersion",), "keep_index_version", FLAG),
    (("--maintainInsertionOrder",), "keep_order", FLAG),
    (("--stopOnError",), "stop_on_error", FLAG),
    (("--numInsertionWorkersPerCollection",), "workers", VALUE),
    (("--writeConcern",), "write_concern", VALUE),
    (("--bypassDocumentValidation",), "bypass_validation", FLAG),
    (("--preserveUUID",), "preserve_uuid", FLAG),
]

RAW = CodecOptions(document_class=RawBSONDocument)
BATCH = 1000
OPLOG_BATCH_BYTES = 8 * 1024 * 1024
# Oplog entries of the server's own bookkeeping that replay leaves out.
OPLOG_SKIPPED_NS = ("config.system.sessions", "config.transactions", "config.cache.")
SKIPPED_COLLECTIONS = ("system.profile", "system.version")


def parse_limit(text):
    """The Timestamp of --oplogLimit "<seconds>[:ordinal]"."""
    seconds, _, ordinal = (text or "").partition(":")
    try:
        t, i = int(seconds), int(ordinal or 0)
        if t < 0 or i < 0 or t >= 2 ** 32 or i >= 2 ** 32:
            raise ValueError(text)
    except ValueError:
        raise ToolError("error parsing timestamp argument to --oplogLimit: invalid timestamp "
                        "'%s'; expected <seconds>[:ordinal]" % text)
    return Timestamp(t, i)


def _read_bson(path):
    """The documents of a .bson file (raw), checked as they are read."""
    try:
        with open(path, "rb") as f:
            for doc in decode_file_iter(f, RAW):
                yield doc
    except (InvalidBSON, ValueError) as exc:
        raise ToolError("reading bson input: %s: %s" % (path, exc))


class Intent:
    """One collection to restore."""

    def __init__(self, db, coll, bson_path, meta_path):
        self.db, self.coll = db, coll
        self.bson_path, self.meta_path = bson_path, meta_path
        self.dest_db, self.dest_coll = db, coll

    @property
    def ns(self):
        return "%s.%s" % (self.db, self.coll)

    @property
    def dest_ns(self):
        return "%s.%s" % (self.dest_db, self.dest_coll)


def _collection_files(directory, db):
    """Intents of a database directory."""
    out = []
    for fname in sorted(os.listdir(directory)):
        path = os.path.join(directory, fname)
        if fname.endswith(".bson") and os.path.isfile(path):
            name = fname[:-len(".bson")].replace("%2F", "/").replace("%25", "%")
            meta = os.path.join(directory, fname[:-len(".bson")] + ".metadata.json")
            out.append(Intent(db, name, path, meta if os.path.exists(meta) else None))
        elif fname.endswith(".metadata.json") and not os.path.exists(
                path[:-len(".metadata.json")] + ".bson"):
            name = fname[:-len(".metadata.json")]
            out.append(Intent(db, name, None, path))
    return out


class Restore:
    def __init__(self, opts, target):
        self.opts = opts
        self.target = target
        self.client = None
        self.restored = 0
        self.failed = 0
        try:
            self.renamer = Renamer(opts["ns_from"], opts["ns_to"])
            for p in opts["ns_include"] + opts["ns_exclude"]:
                matches_any([p], "")
        except PatternError as exc:
            raise ToolError(str(exc))

    # ---- what to restore --------------------------------------------------------
    def intents(self):
        opts, target = self.opts, self.target
        if os.path.isfile(target):
            if not target.endswith(".bson"):
                raise ToolError("don't know what to do with file \"%s\", skipping..." % target)
            db = opts["db"]
            if not db:
                raise ToolError("cannot restore a single file without --db")
            coll = opts["collection"] or os.path.basename(target)[:-len(".bson")]
            meta = target[:-len(".bson")] + ".metadata.json"
            intents = [Intent(db, coll, target, meta if os.path.exists(meta) else None)]
        elif opts["db"]:
            intents = _collection_files(target, opts["db"])
            if opts["collection"]:
                intents = [i for i in intents if i.coll == opts["collection"]]
        else:
            intents = []
            for entry in sorted(os.listdir(target)):
                path = os.path.join(target, entry)
                if os.path.isdir(path):
                    if entry != "local":
                        intents += _collection_files(path, entry)
                elif entry != "oplog.bson":
                    log("don't know what to do with file \"%s\", skipping..." % path)
        chosen = []
        for intent in intents:
            if intent.coll in SKIPPED_COLLECTIONS or intent.coll.startswith("system.indexes"):
                continue
            if opts["ns_include"] and not matches_any(opts["ns_include"], intent.ns):
                continue
            if matches_any(opts["ns_exclude"], intent.ns):
                continue
            intent.dest_db, _, intent.dest_coll = self.renamer.rename(intent.ns).partition(".")
            chosen.append(intent)
        return chosen

    # ---- collections ----------------------------------------------------------
    def _metadata(self, intent):
        if not intent.meta_path:
            return {}
        log("reading metadata for %s from %s" % (intent.dest_ns, intent.meta_path))
        try:
            with open(intent.meta_path, encoding="utf-8") as f:
                meta = json_util.loads(f.read())
        except (OSError, ValueError) as exc:
            raise ToolError("%s: error parsing metadata from %s: %s"
                            % (intent.dest_ns, intent.meta_path, exc))
        if not isinstance(meta, dict):
            raise ToolError("%s: error parsing metadata from %s: not a document"
                            % (intent.dest_ns, intent.meta_path))
        return meta

    def _prepare(self, intent, meta):
        db = self.client[intent.dest_db]
        if self.opts["drop"]:
            log("dropping collection %s before restoring" % intent.dest_ns)
            reply = db.command("drop", intent.dest_coll, check=False)
            if reply.get("ok") != 1 and reply.get("code") != 26:
                raise ToolError("%s: error dropping collection: %s"
                                % (intent.dest_ns, reply.get("errmsg")))
        options = {} if self.opts["no_options_restore"] else dict(meta.get("options") or {})
        reply = db.command(dict({"create": intent.dest_coll}, **options), check=False)
        if reply.get("ok") != 1 and reply.get("code") != 48:
            raise ToolError("%s: error creating collection: %s"
                            % (intent.dest_ns, reply.get("errmsg")))

    def _insert(self, intent, batch):
        coll = self.client[intent.dest_db][intent.dest_coll]
        try:
            coll.insert_many(batch, ordered=bool(self.opts["keep_order"]),
                             bypass_document_validation=bool(self.opts["bypass_validation"]))
            return len(batch), 0
        except errors.BulkWriteError as exc:
            for err in exc.details.get("writeErrors", []):
                log("continuing through error: %s" % err.get("errmsg"))
                if self.opts["stop_on_error"]:
                    raise ToolError("%s: error restoring from %s: %s"
                                    % (intent.dest_ns, intent.bson_path, err.get("errmsg")))
            bad = len(exc.details.get("writeErrors", []))
            return exc.details.get("nInserted", len(batch) - bad), bad

    def _indexes(self, intent, meta):
        indexes = [i for i in meta.get("indexes") or [] if i.get("name") != "_id_"]
        if not indexes or self.opts["no_index_restore"]:
            log("no indexes to restore")
            return
        log("restoring indexes for collection %s from metadata" % intent.dest_ns)
        for index in indexes:
            index.pop("ns", None)
        reply = self.client[intent.dest_db].command(
            {"createIndexes": intent.dest_coll, "indexes": indexes}, check=False)
        if reply.get("ok") != 1:
            raise ToolError("%s: error creating indexes for %s: %s"
                            % (intent.dest_ns, intent.dest_ns, reply.get("errmsg")))

    def restore(self, intent):
        meta = self._metadata(intent)
        if self.opts["dry_run"]:
            return
        self._prepare(intent, meta)
        done = failed = 0
        if intent.bson_path:
            log("restoring %s from %s" % (intent.dest_ns, intent.bson_path))
            batch = []
            for doc in _read_bson(intent.bson_path):
                batch.append(doc)
                if len(batch) >= BATCH:
                    ok, bad = self._insert(intent, batch)
                    done, failed, batch = done + ok, failed + bad, []
            if batch:
                ok, bad = self._insert(intent, batch)
                done, failed = done + ok, failed + bad
        self._indexes(intent, meta)
        log("finished restoring %s (%d document%s, %d failure%s)"
            % (intent.dest_ns, done, "" if done == 1 else "s", failed, "" if failed == 1 else "s"))
        self.restored += done
        self.failed += failed

    # ---- oplog ----------------------------------------------------------------
    def replay_oplog(self, limit):
        path = self.opts["oplog_file"] or os.path.join(self.target, "oplog.bson")
        if not os.path.isfile(path):
            raise ToolError("no oplog file to replay; make sure you run mongodump with --oplog")
        log("replaying oplog")
        applied, batch, size = 0, [], 0
        for entry in _read_bson(path):
            if limit.time and entry["ts"] >= limit:
                break
            ns = entry.get("ns") or ""
            if entry.get("op") == "n" or ns.startswith(OPLOG_SKIPPED_NS):
                continue
            batch.append(entry)
            size += len(entry.raw)
            if size >= OPLOG_BATCH_BYTES:
                applied += self._apply(batch)
                batch, size = [], 0
        if batch:
            applied += self._apply(batch)
        log("applied %d oplog entries" % applied)

    def _apply(self, entries):
        reply = self.client.admin.command({"applyOps": entries}, check=False)
        if reply.get("ok") != 1:
            raise ToolError("error applying oplog: applyOps: %s" % reply.get("errmsg"))
        return len(entries)

    def run(self):
        limit = parse_limit(self.opts["oplog_limit"]) if self.opts["oplog_limit"] \
            else Timestamp(0, 0)
        self.client = toolcli.connect(self.opts)
        try:
            log("preparing collections to restore from")
            for intent in sorted(self.intents(), key=lambda i: i.dest_ns):
                self.restore(intent)
            if self.opts["oplog_replay"]:
                self.replay_oplog(limit)
        finally:
            self.client.close()
        log("%d document(s) restored successfully. %d document(s) failed to restore."
            % (self.restored, self.failed))
        return toolcli.EXIT_OK


def _restore(opts, positional):
    if len(positional) > 1:
        raise OptionError("too many positional arguments: %s" % json.dumps(positional))
    if positional and opts["dir"]:
        raise OptionError("cannot use both --dir and a positional argument to set the target "
                          "directory")
    if opts["oplog_limit"] and not opts["oplog_replay"]:
        raise ToolError("cannot use --oplogLimit without --oplogReplay enabled")
    if opts["collection"] and not opts["db"]:
        raise ToolError("cannot restore a collection without a specified database")
    if opts["oplog_limit"]:
        parse_limit(opts["oplog_limit"])
    target = (positional[0] if positional else opts["dir"]) or "dump"
    if not os.path.exists(target):
        raise ToolError("mongorestore target '%s' invalid: stat %s: no such file or directory"
                        % (target, target))
    return Restore(opts, target).run()


def main(argv):
    return toolcli.run("mongorestore", argv, USAGE, TABLE, _restore)
