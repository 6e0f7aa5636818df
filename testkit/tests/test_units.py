"""Unit tests of the kit's building blocks (no processes)."""
import os
import shutil
import struct
import tempfile
import unittest

from bson import Int64, ObjectId
from bson.timestamp import Timestamp

from tests import kit  # noqa: F401  (puts the kit on sys.path)
from mongokit import jsformat, scram, wire, yamlsubset
from mongokit.errors import CommandError, ProtocolError
from mongokit.options import Options, OptionsError
from mongokit.query import matches, project, sort_documents
from mongokit.replconfig import ReplConfig
from mongokit.storage import StorageEngine
from mongokit.update import apply_update, upsert_document
from mongokit import dump_main, nsmatch, restore_main, toolcli

DOC = {"_id": 1, "a": 5, "s": "x", "arr": [1, 2, 3], "sub": {"k": 2, "l": [{"m": 1}, {"m": 7}]},
       "n": None}


class QueryTest(unittest.TestCase):
    CASES = [
        ("equality", {"a": 5}, True),
        ("int matches double", {"a": 5.0}, True),
        ("dotted path", {"sub.k": 2}, True),
        ("array element", {"arr": 2}, True),
        ("array of documents", {"sub.l.m": 7}, True),
        ("whole array", {"arr": [1, 2, 3]}, True),
        ("missing equals null", {"zzz": None}, True),
        ("$gt", {"a": {"$gt": 4}}, True),
        ("$gte boundary", {"a": {"$gte": 5}}, True),
        ("$lt false", {"a": {"$lt": 5}}, False),
        ("$lte", {"a": {"$lte": 5}}, True),
        ("no cross-type order", {"s": {"$gt": 1}}, False),
        ("$ne", {"a": {"$ne": 4}}, True),
        ("$ne on array member", {"arr": {"$ne": 2}}, False),
        ("$in", {"a": {"$in": [1, 5]}}, True),
        ("$nin", {"a": {"$nin": [1, 5]}}, False),
        ("$exists true", {"sub.k": {"$exists": True}}, True),
        ("$exists false", {"nope": {"$exists": False}}, True),
        ("$exists on null value", {"n": {"$exists": True}}, True),
        ("$and/$or", {"$or": [{"a": 1}, {"$and": [{"a": 5}, {"s": "x"}]}]}, True),
        ("$nor", {"$nor": [{"a": 5}]}, False),
        ("range on array", {"arr": {"$gt": 2, "$lt": 4}}, True),
        ("$regex", {"s": {"$regex": "^X", "$options": "i"}}, True),
    ]

    def test_filters(self):
        for name, query, expected in self.CASES:
            with self.subTest(name):
                self.assertEqual(matches(DOC, query), expected)

    def test_unknown_operators_are_refused(self):
        for query, text in (({"a": {"$bogus": 1}}, "unknown operator: $bogus"),
                            ({"$where": "1"}, "unknown top level operator: $where")):
            with self.assertRaises(CommandError) as ctx:
                matches(DOC, query)
            self.assertEqual((ctx.exception.code, ctx.exception.errmsg), (2, text))

    def test_sort_orders_mixed_types_and_natural(self):
        docs = [{"_id": 1, "v": "b"}, {"_id": 2, "v": 3}, {"_id": 3}, {"_id": 4, "v": 1.5}]
        self.assertEqual([d["_id"] for d in sort_documents(docs, {"v": 1})], [3, 4, 2, 1])
        self.assertEqual([d["_id"] for d in sort_documents(docs, {"v": -1, "_id": 1})],
                         [1, 2, 4, 3])
        self.assertEqual([d["_id"] for d in sort_documents(docs, {"$natural": -1})], [4, 3, 2, 1])

    def test_projection(self):
        self.assertEqual(project(DOC, {"a": 1}), {"_id": 1, "a": 5})
        self.assertEqual(project(DOC, {"sub.k": 1, "_id": 0}), {"sub": {"k": 2}})
        self.assertNotIn("sub", project(DOC, {"sub": 0}))
        with self.assertRaises(CommandError):
            project(DOC, {"a": 1, "s": 0})


class UpdateTest(unittest.TestCase):
    def test_modifiers_and_their_oplog_form(self):
        new, changed, oplog = apply_update(DOC, {"$set": {"sub.k": 3, "t": "new"},
                                                 "$unset": {"s": ""}, "$inc": {"a": 2}})
        self.assertTrue(changed)
        self.assertEqual((new["a"], new["sub"]["k"], new["t"]), (7, 3, "new"))
        self.assertNotIn("s", new)
        # The oplog carries resulting values, so replaying it twice is harmless.
        self.assertEqual(oplog, {"$v": 1, "$set": {"sub.k": 3, "t": "new", "a": 7},
                                 "$unset": {"s": True}})
        self.assertEqual(DOC["a"], 5, "the original document is untouched")

    def test_no_op_update_reports_unchanged(self):
        _, changed, _ = apply_update(DOC, {"$set": {"a": 5}})
        self.assertFalse(changed)

    def test_inc_promotes_to_int64_on_overflow(self):
        new, _, _ = apply_update({"_id": 1, "a": 2 ** 31 - 1}, {"$inc": {"a": 1}})
        self.assertIsInstance(new["a"], Int64)

    def test_refusals(self):
        cases = [
            ({"$inc": {"s": 1}}, 14), ({"$set": {"_id": 2}}, 66), ({"_id": 2, "a": 1}, 66),
            ({"$set": {"a": 1}, "$inc": {"a": 1}}, 40), ({"$set": {"a.b": 1}}, 28),
        ]
        for update, code in cases:
            with self.subTest(update=update):
                with self.assertRaises(CommandError) as ctx:
                    apply_update(DOC, update)
                self.assertEqual(ctx.exception.code, code)

    def test_upsert_document_takes_equality_fields(self):
        doc = upsert_document({"_id": "shardIdentity", "x": {"$gt": 1}},
                              {"$set": {"configsvrConnectionString": "cfg/h:1"}})
        self.assertEqual(doc, {"_id": "shardIdentity", "configsvrConnectionString": "cfg/h:1"})
        doc = upsert_document({"k": 1}, {"v": 2})
        self.assertIsInstance(doc["_id"], ObjectId)
        self.assertEqual((doc["v"], "k" in doc), (2, False))


class StorageTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def reopen(self):
        engine = StorageEngine(self.dir)
        engine.open()
        return engine

    def test_writes_survive_reopen_in_order(self):
        engine = self.reopen()
        coll = engine.create_collection("db", "c/weird name")
        for i in range(5):
            coll.put({"_id": i, "v": i})
        coll.put({"_id": 2, "v": "changed"})
        coll.delete(3)
        engine.close()
        again = self.reopen().collection("db", "c/weird name")
        self.assertEqual([d["v"] for d in again.values()], [0, 1, "changed", 4])

    def test_torn_tail_is_dropped(self):
        engine = self.reopen()
        coll = engine.create_collection("db", "c")
        coll.put({"_id": 1})
        coll.put({"_id": 2})
        path = coll.path
        engine.close()
        with open(path, "ab") as f:
            f.write(struct.pack("<i", 500) + b"\x02partial")
        again = self.reopen().collection("db", "c")
        self.assertEqual([d["_id"] for d in again.values()], [1, 2])
        again.put({"_id": 3})
        self.assertEqual(len(self.reopen().collection("db", "c").docs), 3)

    def test_capped_collection_keeps_newest_and_compacts(self):
        engine = self.reopen()
        oplog = engine.create_collection("local", "oplog.rs", {"capped": True, "size": 4096})
        for i in range(1, 3000):
            oplog.put({"ts": Timestamp(1000, i), "op": "n", "o": {"msg": "x" * 20}})
        self.assertLessEqual(oplog.live_bytes, 4096)
        self.assertLess(os.path.getsize(oplog.path), 4096 * 2 + 300 * 1024)
        first = oplog.values()[0]["ts"]
        engine.close()
        again = self.reopen().collection("local", "oplog.rs")
        self.assertEqual(again.values()[0]["ts"], first)
        self.assertEqual(again.values()[-1]["ts"], Timestamp(1000, 2999))

    def test_fsync_locked_storage_refuses_writes(self):
        engine = self.reopen()
        coll = engine.create_collection("db", "c")
        engine.frozen = True
        with self.assertRaises(CommandError):
            coll.put({"_id": 1})
        self.assertEqual(len(self.reopen().collection("db", "c").docs), 0)


class OptionsTest(unittest.TestCase):
    GENERATED_CONF = """systemLog:
 destination: file
 path: /var/log/mongodb/mongod_27017.log
 logAppend: true
# mongod conf file generated by the agent
storage:
 dbPath: /data/rs0
 directoryPerDB: true
 journal:
  enabled: true
processManagement:
 fork: true
net:
 port: 27017
 bindIp: 127.0.0.1,db1
#replication:
 #replSetName: rs0
#sharding:
 #clusterRole: shardsvr
"""

    def write(self, text):
        fd, path = tempfile.mkstemp(suffix=".conf")
        with os.fdopen(fd, "w") as f:
            f.write(text)
        self.addCleanup(os.unlink, path)
        return path

    def test_generated_config_with_commented_replication(self):
        path = self.write(self.GENERATED_CONF)
        opts = Options(["mongod", "--config", '"%s"' % path, "--wiredTigerCacheSizeGB", "2",
                        "--quiet"])
        self.assertEqual(opts.get("config"), path)
        self.assertEqual(opts.get("net.port"), 27017)
        self.assertEqual(opts.get("net.bindIp"), "127.0.0.1,db1")
        self.assertIs(opts.get("storage.journal.enabled"), True)
        self.assertIsNone(opts.get("replication.replSetName"))
        self.assertIsNone(opts.get("sharding"))
        self.assertEqual(opts.get("storage.wiredTiger.engineConfig.cacheSizeGB"), 2.0)

    def test_command_line_overrides_file(self):
        path = self.write("net:\n  port: 1000\n")
        self.assertEqual(Options(["mongod", "-f", path, "--port", "2000"]).get("net.port"), 2000)

    def test_refusals(self):
        cases = [
            (["--bogus"], "unrecognised option '--bogus'"),
            (["--port"], "the required argument for option '--port' is missing"),
            (["--port", "x"], "the argument ('x') for option '--port' is invalid"),
            (["--config", "/nonexistent.conf"], "Error reading config file"),
            (["--config", "BROKEN"], "Error parsing YAML config file: yaml-cpp: error at line 3"),
            (["--config", "UNKNOWN"], "Unrecognized option: net.bogus"),
        ]
        broken = self.write("net:\n port: 1\n  bad: 2\n")
        unknown = self.write("net:\n bogus: 1\n")
        for args, text in cases:
            args = [{"BROKEN": broken, "UNKNOWN": unknown}.get(a, a) for a in args]
            with self.subTest(args=args):
                with self.assertRaises(OptionsError) as ctx:
                    Options(["mongod"] + args)
                self.assertIn(text, str(ctx.exception))

    def test_passwords_are_masked_in_reports(self):
        opts = Options(["mongod", "--tlsCertificateKeyFilePassword", "hunter2",
                        "--sslPEMKeyPassword=hunter3"])
        argv, parsed = opts.reported()
        self.assertNotIn("hunter2", repr((argv, parsed)))
        self.assertNotIn("hunter3", repr((argv, parsed)))

    def test_each_program_takes_its_own_options(self):
        router = Options(["mongos", "--configdb", "cfg/h:1", "--port", "5"], "mongos")
        self.assertEqual(router.get("sharding.configDB"), "cfg/h:1")
        for program, args in (("mongod", ["--configdb", "cfg/h:1"]),
                              ("mongos", ["--dbpath", "/d"]),
                              ("mongos", ["--replSet", "rs"]),
                              ("mongos", ["--shutdown"])):
            with self.subTest(program=program, args=args):
                with self.assertRaises(OptionsError):
                    Options([program] + args, program)

    def test_yaml_subset(self):
        self.assertEqual(yamlsubset.parse("a:\n  b: 'x y'  # note\n  c: [1, 2]\nd: \"q\"\n"),
                         {"a": {"b": "x y", "c": ["1", "2"]}, "d": "q"})
        with self.assertRaises(yamlsubset.YamlError):
            yamlsubset.parse("a:\n\tb: 1\n")


class ReplConfigTest(unittest.TestCase):
    def test_member_fields_get_server_types(self):
        cfg = ReplConfig({"_id": "rs", "version": 1, "members": [
            {"_id": 0, "host": "h:1", "votes": 1, "priority": 999},
            {"_id": 1.0, "host": "h:2", "votes": 0, "priority": 0, "secondaryDelaySecs": 5}]})
        m0, m1 = cfg.to_doc()["members"]
        self.assertEqual((type(m0["_id"]), type(m0["votes"]), type(m0["priority"])),
                         (int, int, float))
        self.assertEqual(m1["slaveDelay"], 5)
        self.assertIsInstance(m1["slaveDelay"], Int64)

    def test_invalid_configurations(self):
        bad = [
            {"_id": "rs", "members": []},
            {"_id": "rs", "members": [{"_id": 0, "host": "h:1"}, {"_id": 0, "host": "h:2"}]},
            {"_id": "rs", "members": [{"_id": 0, "host": "h:1", "hidden": True}]},
            {"_id": "rs", "members": [{"_id": 0, "host": "h:1", "priority": 0}]},
            {"_id": "rs", "members": [{"_id": 0, "host": "h:1", "votes": 0, "priority": 1}]},
            {"_id": "rs", "members": [{"_id": 0, "host": "h:1", "bogus": 1}]},
        ]
        for doc in bad:
            with self.subTest(doc=doc):
                with self.assertRaises(CommandError) as ctx:
                    ReplConfig(doc)
                self.assertEqual(ctx.exception.code, 93)


class ScramTest(unittest.TestCase):
    def exchange(self, mechanism, password):
        creds = scram.make_credentials(mechanism, "admin", "right")
        server = scram.ServerConversation(mechanism, lambda u: creds if u == "admin" else None)
        client = scram.ClientConversation(mechanism, "admin", password)
        final = server.next(client.final(server.start(client.first())))
        client.verify(final)

    def test_both_mechanisms(self):
        for mech in ("SCRAM-SHA-1", "SCRAM-SHA-256"):
            with self.subTest(mech):
                self.exchange(mech, "right")
                with self.assertRaises(CommandError) as ctx:
                    self.exchange(mech, "wrong")
                self.assertEqual((ctx.exception.code, ctx.exception.errmsg),
                                 (18, "Authentication failed."))


class WireTest(unittest.TestCase):
    def test_msg_sequences_merge_into_the_body(self):
        body = wire.encode({"insert": "c", "$db": "d"})
        seq = b"documents\x00" + wire.encode({"_id": 1}) + wire.encode({"_id": 2})
        payload = struct.pack("<I", 0) + b"\x00" + body + b"\x01" + \
            struct.pack("<i", 4 + len(seq)) + seq
        req = wire.parse_request((1, 0, wire.OP_MSG), payload)
        self.assertEqual(req.body["documents"], [{"_id": 1}, {"_id": 2}])
        self.assertEqual(req.db, "d")

    def test_malformed_messages(self):
        good = wire.encode({"ping": 1, "$db": "admin"})
        framing = [
            struct.pack("<I", 0) + b"\x05" + good,                  # unknown section kind
            struct.pack("<I", 0) + b"\x00" + good[:-3],             # truncated document
            struct.pack("<I", 1 << 5) + b"\x00" + good,             # unknown required flag
        ]
        for payload in framing:
            with self.assertRaises(ProtocolError):
                wire.parse_request((1, 0, wire.OP_MSG), payload)
        bad_bson = bytearray(good)
        bad_bson[4] = 0x7F  # an unknown element type
        with self.assertRaises(wire.BsonError):
            wire.parse_request((1, 0, wire.OP_MSG), struct.pack("<I", 0) + b"\x00" + bad_bson)


class ShellFormatTest(unittest.TestCase):
    def test_small_documents_fold_onto_one_line(self):
        self.assertEqual(jsformat.tojson({"ok": 1.0}), '{ "ok" : 1 }')

    def test_replica_set_ping_reply(self):
        from bson import Binary
        reply = {"ok": 1.0, "$clusterTime": {"clusterTime": Timestamp(5, 1), "signature": {
            "hash": Binary(b"\x00" * 20, 0), "keyId": Int64(0)}}, "operationTime": Timestamp(5, 1)}
        self.assertEqual(jsformat.tojson(reply), "\n".join([
            "{", '\t"ok" : 1,', '\t"$clusterTime" : {', '\t\t"clusterTime" : Timestamp(5, 1),',
            '\t\t"signature" : {', '\t\t\t"hash" : BinData(0,"AAAAAAAAAAAAAAAAAAAAAAAAAAA="),',
            '\t\t\t"keyId" : NumberLong(0)', "\t\t}", "\t},",
            '\t"operationTime" : Timestamp(5, 1)', "}"]))


class ToolPiecesTest(unittest.TestCase):
    def test_namespace_renaming(self):
        renamer = nsmatch.Renamer(["sales.*", "data.$prefix$_$suffix$", r"lit\*.x"],
                                  ["sales_old.*", "flights.$suffix$_$prefix$", "star.x"])
        cases = [("sales.items", "sales_old.items"), ("sales.a.b", "sales_old.a.b"),
                 ("data.a_b", "flights.b_a"), ("lit*.x", "star.x"), ("litX.x", "litX.x"),
                 ("other.c", "other.c")]
        for source, target in cases:
            with self.subTest(source):
                self.assertEqual(renamer.rename(source), target)
        for froms, tos in ((["a.*"], []), (["a.*"], ["b.$x$"]), (["a.$x"], ["b.c"])):
            with self.subTest(froms=froms, tos=tos):
                with self.assertRaises(nsmatch.PatternError):
                    nsmatch.Renamer(froms, tos)

    def test_namespace_selection(self):
        cases = [(["shop.*"], "shop.items", True), (["shop.*"], "shopping.items", False),
                 (["shop.items"], "shop.items", True), (["shop.items"], "shopXitems", False),
                 (["*.items"], "any.items", True), (["a.*", "b.c"], "b.c", True)]
        for patterns, ns, expected in cases:
            with self.subTest(patterns=patterns, ns=ns):
                self.assertIs(nsmatch.matches_any(patterns, ns), expected)

    def test_oplog_limit(self):
        cases = [("1700000000", Timestamp(1700000000, 0)),
                 ("1700000000:7", Timestamp(1700000000, 7)), ("0", Timestamp(0, 0))]
        for text, expected in cases:
            self.assertEqual(restore_main.parse_limit(text), expected)
        for text in ("soon", "1:x", "-1", "1:2:3", ""):
            with self.subTest(text=text):
                with self.assertRaises(toolcli.ToolError):
                    restore_main.parse_limit(text)

    def test_tool_command_lines(self):
        table = dump_main.TABLE
        opts, positional = toolcli.parse(["--port", "5", "--host=h", "-dshop", "-c", "items",
                                          "-u", "admin", "-p", "", "-vvv"], table)
        self.assertEqual((opts["port"], opts["host"], opts["db"], opts["collection"],
                          opts["username"], opts["password"], opts["verbose"], positional),
                         ("5", "h", "shop", "items", "admin", "", True, []))
        for args in (["--bogus"], ["--db"], ["-z"]):
            with self.subTest(args=args):
                with self.assertRaises(toolcli.OptionError):
                    toolcli.parse(args, table)

    def test_queries_are_extended_json(self):
        query = dump_main.parse_query(
            '{"ts":{"$gt":{"$timestamp": {"t": 5, "i": 1}}},"ns":{"$nin":["a.b"]}}')
        self.assertEqual(query, {"ts": {"$gt": Timestamp(5, 1)}, "ns": {"$nin": ["a.b"]}})
        for text in ("{ts: 1}", "{", "[1]", "'x'"):
            with self.subTest(text=text):
                with self.assertRaises(toolcli.ToolError):
                    dump_main.parse_query(text)

    def test_files_appear_only_when_complete(self):
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        path = os.path.join(directory, "items.bson")
        with self.assertRaises(RuntimeError):
            with dump_main.Written(path, "wb") as f:
                f.write(b"half")
                raise RuntimeError("connection lost")
        self.assertEqual(os.listdir(directory), [])
        with dump_main.Written(path, "wb") as f:
            f.write(b"whole")
        self.assertEqual(os.listdir(directory), ["items.bson"])


if __name__ == "__main__":
    unittest.main()
