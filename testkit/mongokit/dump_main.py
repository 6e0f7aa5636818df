"""mongodump: writes collections as <out>/<db>/<collection>.bson (the
documents, one BSON document after another) and <collection>.metadata.json
(options, indexes, uuid, name and type, in canonical Extended JSON).

Every file is written under a temporary name and renamed into place once
complete, so an interrupted or failed dump never leaves a file that looks
whole. --query takes Extended JSON ($timestamp, $date, $oid, ...). Reading
a replica-set member's oplog (--db local --collection oplog.rs) is just a
collection dump.
"""
import json
import os
import sys
import time
import uuid

from bson import json_util
from bson.codec_options import CodecOptions
from bson.json_util import CANONICAL_JSON_OPTIONS
from bson.raw_bson import RawBSONDocument

from . import toolcli
from .toolcli import MULTI, VALUE, FLAG, OptionError, ToolError, log

USAGE = """Usage:
  mongodump <options>

Export the content of a running server into .bson files.

  -h, --host=<hostname>          mongodb host to connect to (setname/host1,host2 for replica sets)
      --port=<port>              server port (can also use --host hostname:port)
  -u, --username=<username>      username for authentication
  -p, --password=<password>      password for authentication (asked for when empty)
      --authenticationDatabase=  database that holds the user's credentials
      --ssl, --sslCAFile, --sslPEMKeyFile, --sslPEMKeyPassword (and the --tls names)
  -d, --db=<database-name>       database to use
  -c, --collection=<collection>  collection to use
  -q, --query=                   query filter, as Extended JSON
      --queryFile=               path to a file containing a query filter (Extended JSON)
  -o, --out=<directory-path>     output directory, or '-' for stdout (default: 'dump')
"""

TABLE = toolcli.CONNECTION_OPTIONS + [
    (("--query", "-q"), "query", VALUE),
    (("--queryFile",), "query_file", VALUE),
    (("--out", "-o"), "out", VALUE),
    (("--oplog",), "oplog", FLAG),
    (("--excludeCollection",), "exclude", MULTI),
    (("--excludeCollectionsWithPrefix",), "exclude_prefix", MULTI),
    (("--forceTableScan",), "force_table_scan", FLAG),
    (("--dumpDbUsersAndRoles",), "users_and_roles", FLAG),
    (("--viewsAsCollections",), "views_as_collections", FLAG),
]

RAW = CodecOptions(document_class=RawBSONDocument)
PROGRESS_INTERVAL = 1.0
# Collections a dump of a whole database leaves out, as mongodump does.
SKIPPED = ("system.profile", "system.indexes")
SKIPPED_DBS = ("local", "config")


def parse_query(text):
    """The filter of --query: an Extended JSON document."""
    try:
        query = json_util.loads(text)
    except (ValueError, TypeError):
        raise ToolError("error parsing query as Extended JSON: invalid JSON input")
    if not isinstance(query, dict):
        raise ToolError("error parsing query as Extended JSON: invalid JSON input")
    return query


def file_name(name):
    """A collection name as a file name (a "/" would make a directory)."""
    return name.replace("%", "%25").replace("/", "%2F")


def _query(opts):
    if opts["query"] is not None and opts["query_file"] is not None:
        raise OptionError("either query or queryFile can be specified as a query option, not both")
    text = opts["query"]
    if opts["query_file"] is not None:
        try:
            with open(opts["query_file"], encoding="utf-8") as f:
                text = f.read()
        except OSError as exc:
            raise ToolError("error reading queryFile: %s" % exc.strerror)
    if text is None:
        return None
    if not opts["collection"]:
        raise ToolError("cannot dump using a query without a specified collection")
    return parse_query(text)


def _metadata(client, db, info):
    indexes = []
    if "options" in info and info.get("type", "collection") == "collection":
        reply = client[db].command("listIndexes", info["name"])
        indexes = reply["cursor"]["firstBatch"]
    meta = {"options": info.get("options") or {}, "indexes": indexes}
    coll_uuid = (info.get("info") or {}).get("uuid")
    if coll_uuid is not None:
        meta["uuid"] = coll_uuid.hex if isinstance(coll_uuid, uuid.UUID) else bytes(coll_uuid).hex()
    meta["collectionName"] = info["name"]
    meta["type"] = info.get("type", "collection")
    return json_util.dumps(meta, json_options=CANONICAL_JSON_OPTIONS, separators=(",", ":"))


class Written:
    """A file written under a temporary name, renamed into place on success
    and removed on failure."""

    def __init__(self, path, mode):
        self.path = path
        self.tmp = "%s.%d.partial" % (path, os.getpid())
        self.file = open(self.tmp, mode)

    def __enter__(self):
        return self.file

    def __exit__(self, exc_type, *_):
        try:
            if exc_type is None:
                self.file.flush()
                os.fsync(self.file.fileno())
        finally:
            self.file.close()
        if exc_type is None:
            os.replace(self.tmp, self.path)
        else:
            os.unlink(self.tmp)
        return False


class Dump:
    def __init__(self, opts, client, query):
        self.opts = opts
        self.client = client
        self.query = query
        self.out = opts["out"] or "dump"

    def namespaces(self):
        """(db, collection info) of everything to dump."""
        opts = self.opts
        dbs = [opts["db"]] if opts["db"] else [
            d["name"] for d in self.client.admin.command("listDatabases", nameOnly=True)[
                "databases"] if d["name"] not in SKIPPED_DBS]
        out = []
        for db in dbs:
            infos = list(self.client[db].list_collections())
            if opts["collection"]:
                wanted = [i for i in infos if i["name"] == opts["collection"]]
                out += [(db, i) for i in wanted] or [(db, {"name": opts["collection"]})]
                continue
            for info in sorted(infos, key=lambda i: i["name"]):
                name = info["name"]
                if name in SKIPPED or info.get("type") == "view" or name in opts["exclude"] or \
                        any(name.startswith(p) for p in opts["exclude_prefix"]):
                    continue
                out.append((db, info))
        return out

    def run(self):
        namespaces = self.namespaces()
        for db, info in namespaces:
            self.dump_collection(db, info)
        return toolcli.EXIT_OK

    def dump_collection(self, db, info):
        name = info["name"]
        ns = "%s.%s" % (db, name)
        coll = self.client.get_database(db, codec_options=RAW)[name]
        to_stdout = self.out == "-"
        path = "-" if to_stdout else os.path.join(self.out, file_name(db),
                                                  file_name(name) + ".bson")
        log("writing %s to %s" % (ns, path))
        try:
            total = coll.count_documents(self.query or {})
            if to_stdout:
                count = self._copy(coll, ns, total, sys.stdout.buffer)
            else:
                metadata = _metadata(self.client, db, info)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with Written(path, "wb") as f:
                    count = self._copy(coll, ns, total, f)
                meta_path = os.path.join(self.out, file_name(db),
                                         file_name(name) + ".metadata.json")
                with Written(meta_path, "w") as f:
                    f.write(metadata)
        except OSError as exc:
            raise ToolError("error writing data for collection `%s` to disk: %s"
                            % (ns, exc.strerror or exc))
        except Exception as exc:  # a driver error while reading
            raise ToolError("error writing data for collection `%s` to disk: error reading "
                            "collection: %s" % (ns, exc))
        log("done dumping %s (%d document%s)" % (ns, count, "" if count == 1 else "s"))

    def _copy(self, coll, ns, total, out):
        count = 0
        shown = time.monotonic()
        for doc in coll.find(self.query or {}):
            out.write(doc.raw)
            count += 1
            if time.monotonic() - shown >= PROGRESS_INTERVAL:
                shown = time.monotonic()
                log(_progress(ns, count, total))
        return count


def _progress(ns, done, total):
    width = 24
    filled = width * done // total if total else width
    return "[%s%s]  %s  %d/%d  (%.1f%%)" % ("#" * filled, "." * (width - filled), ns, done,
                                           total, 100.0 * done / total if total else 100.0)


def _dump(opts, positional):
    if positional:
        raise OptionError("positional arguments not allowed: %s" % json.dumps(positional))
    if opts["collection"] and not opts["db"]:
        raise ToolError("cannot dump a collection without a specified database")
    if opts["out"] == "-" and not opts["collection"]:
        raise ToolError("can only dump a single collection to stdout")
    if opts["oplog"] and (opts["db"] or opts["query"]):
        raise ToolError("--oplog mode only supported on full dumps")
    if opts["oplog"]:
        raise ToolError("--oplog is not supported by this test kit's mongodump")
    query = _query(opts)
    client = toolcli.connect(opts)
    try:
        return Dump(opts, client, query).run()
    finally:
        client.close()


def main(argv):
    return toolcli.run("mongodump", argv, USAGE, TABLE, _dump)
