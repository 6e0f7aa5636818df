"""mongodump and mongorestore, run with the command lines the module
builds: layout and metadata, renaming, --drop, credentials and TLS, bad
input, and an oplog replayed to a point in time."""
import datetime
import os
import re
import shutil
import time
import unittest
import uuid

import bson
from bson import Binary, Int64, json_util
from bson.codec_options import CodecOptions
from bson.raw_bson import RawBSONDocument
from bson.timestamp import Timestamp

from tests import kit
from mongokit.certs import make_certificates

IP = "127.0.0.161"
RAW = CodecOptions(document_class=RawBSONDocument)
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d{4}\t(.*)$")
OPLOG_QUERY = ('{"ts":{"$gt":{"$timestamp": {"t": %d, "i": 1}}},"ns":{"$nin":['
               '"config.system.sessions","config.transactions","config.transaction_coordinators"'
               ']}}')


def messages(output):
    """The messages of the tools' log lines, without their time stamps."""
    out = []
    for line in output.splitlines():
        found = LOG_LINE.match(line)
        out.append(found.group(1) if found else line)
    return out


def dump_line(port, db, out, host=IP, collection=None, extra=""):
    """mongodump as the module runs it for an item (every value quoted)."""
    line = '"%s" --port %d --host %s --db "%s"' % (kit.tool("mongodump"), port, host, db)
    if collection:
        line += ' --collection "%s"' % collection
    return line + ' --out "%s"%s 2>&1' % (out, extra)


def restore_line(port, include, source, target, directory, extra="", ns_from=True):
    line = '"%s" --port %d --host %s --nsInclude "%s"' % (kit.tool("mongorestore"), port, IP,
                                                           include)
    if ns_from:
        line += ' --nsFrom "%s" --nsTo "%s"' % (source, target)
    return line + ' "%s"%s 2>&1' % (directory, extra)


def read_bson(path):
    with open(path, "rb") as f:
        return list(bson.decode_file_iter(f, RAW))


class DumpRestoreTest(kit.KitTestCase):
    def setUp(self):
        super().setUp()
        self.port, self.dbpath, _ = self.start_mongod(ip=IP)
        self.c = self.client(IP, self.port)
        when = datetime.datetime(2021, 3, 4, 5, 6, 7, 890000, tzinfo=datetime.timezone.utc)
        self.c.shop.items.insert_many([
            {"_id": i, "n": Int64(i), "at": when, "ts": Timestamp(1600000000, i),
             "u": Binary(uuid.UUID(int=i).bytes, 4), "tags": ["a", {"b": i}]} for i in range(25)])
        self.c.shop.items.create_index([("n", -1)], name="n_desc", sparse=True)
        self.c.shop.create_collection("logs", capped=True, size=100000)
        self.c.shop.logs.insert_one({"_id": "l1"})
        self.c.hr.people.insert_one({"_id": "p1"})

    def test_dump_writes_the_layout_and_metadata(self):
        out = self.path("dump")
        run = kit.sh(dump_line(self.port, "shop", out))
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertEqual(messages(run.stdout), [
            "writing shop.items to %s/shop/items.bson" % out,
            "done dumping shop.items (25 documents)",
            "writing shop.logs to %s/shop/logs.bson" % out,
            "done dumping shop.logs (1 document)"])
        self.assertEqual(sorted(os.listdir(out)), ["shop"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "shop"))), [
            "items.bson", "items.metadata.json", "logs.bson", "logs.metadata.json"])
        stored = [d.raw for d in self.c.get_database("shop", codec_options=RAW).items.find()]
        self.assertEqual([d.raw for d in read_bson(os.path.join(out, "shop", "items.bson"))],
                         stored, "byte for byte, in natural order")
        with open(os.path.join(out, "shop", "logs.metadata.json")) as f:
            text = f.read()
        self.assertTrue(text.startswith('{"options":{"capped":true,"size":{"$numberInt":'
                                        '"100000"}},"indexes":[{"v":{"$numberInt":"2"},'), text)
        meta = json_util.loads(text)
        info = next(self.c.shop.list_collections(filter={"name": "logs"}))
        self.assertEqual((meta["collectionName"], meta["type"], meta["uuid"]),
                         ("logs", "collection", info["info"]["uuid"].hex))
        self.assertEqual(meta["indexes"], [{"v": 2, "key": {"_id": 1}, "name": "_id_"}])

    def test_dump_of_one_collection_and_of_everything(self):
        cases = [
            ("one collection", dump_line(self.port, "shop", self.path("one"), collection="logs"),
             self.path("one"), {"shop": ["logs.bson", "logs.metadata.json"]}),
            ("a missing collection", dump_line(self.port, "shop", self.path("none"),
                                               collection="nothing"),
             self.path("none"), {"shop": ["nothing.bson", "nothing.metadata.json"]}),
            ("every database", '"%s" --port %d --host %s --out "%s" 2>&1'
             % (kit.tool("mongodump"), self.port, IP, self.path("all")), self.path("all"),
             {"admin": ["system.version.bson", "system.version.metadata.json"],
              "hr": ["people.bson", "people.metadata.json"],
              "shop": ["items.bson", "items.metadata.json", "logs.bson",
                       "logs.metadata.json"]}),
        ]
        for name, line, out, layout in cases:
            with self.subTest(name):
                run = kit.sh(line)
                self.assertEqual(run.returncode, 0, run.stdout)
                self.assertEqual({d: sorted(os.listdir(os.path.join(out, d)))
                                  for d in os.listdir(out)}, layout)
        self.assertEqual(os.path.getsize(self.path("none", "shop", "nothing.bson")), 0)

    def test_restore_renames_drops_and_counts(self):
        dump = self.path("dump")
        self.assertEqual(kit.sh(dump_line(self.port, "shop", dump)).returncode, 0)
        run = kit.sh(restore_line(self.port, "shop.*", "shop.*", "shop_old.*", dump))
        self.assertEqual(run.returncode, 0, run.stdout)
        lines = messages(run.stdout)
        self.assertEqual(lines[0], "preparing collections to restore from")
        self.assertIn("restoring shop_old.items from %s/shop/items.bson" % dump, lines)
        self.assertIn("finished restoring shop_old.items (25 documents, 0 failures)", lines)
        self.assertEqual(lines[-1], "26 document(s) restored successfully. 0 document(s) failed "
                                    "to restore.")
        raw = self.c.get_database("shop_old", codec_options=RAW)
        self.assertEqual([d.raw for d in raw.items.find()],
                         [d.raw for d in self.c.get_database("shop", codec_options=RAW)
                          .items.find()])
        self.assertEqual(self.c.shop_old.command("collStats", "logs")["capped"], True)
        self.assertIn("restoring indexes for collection shop_old.items from metadata", lines)
        self.assertEqual(self.c.shop_old.items.index_information()["n_desc"],
                         {"v": 2, "key": [("n", -1)], "sparse": True})

        # Restoring inserts only: what is there already is counted as failed.
        self.c.shop_old.items.update_one({"_id": 1}, {"$set": {"n": "changed"}})
        run = kit.sh(restore_line(self.port, "shop.items", "shop.items", "shop_old.items", dump))
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("0 document(s) restored successfully. 25 document(s) failed to restore.",
                      messages(run.stdout))
        self.assertIn("E11000 duplicate key error", run.stdout)
        self.assertEqual(self.c.shop_old.items.find_one({"_id": 1})["n"], "changed")
        run = kit.sh(restore_line(self.port, "shop.items", "shop.items", "shop_old.items", dump,
                                  extra=" --drop"))
        self.assertIn("dropping collection shop_old.items before restoring", messages(run.stdout))
        self.assertEqual(self.c.shop_old.items.find_one({"_id": 1})["n"], 1)

        selections = [
            ("a collection renamed", restore_line(self.port, "shop.items", "shop.items",
                                                  "other.things", dump),
             "other", ["things"]),
            ("an excluded collection", restore_line(
                self.port, "shop.*", "shop.*", "third.*", dump, extra=' --nsExclude "shop.logs"'),
             "third", ["items"]),
            ("a pattern that matches nothing", restore_line(self.port, "nope.*", "nope.*",
                                                            "fourth.*", dump),
             "fourth", []),
        ]
        for name, line, db, collections in selections:
            with self.subTest(name):
                run = kit.sh(line)
                self.assertEqual(run.returncode, 0, run.stdout)
                self.assertEqual(sorted(self.c[db].list_collection_names()), collections)

    def test_credentials_and_tls(self):
        certs = make_certificates(self.path("certs"), ips=["127.0.0.162"])
        port, _, _ = self.start_mongod(name="secure", ip="127.0.0.162", extra=[
            "--auth", "--tlsMode", "requireTLS", "--tlsCertificateKeyFile", certs["serverPem"],
            "--tlsCAFile", certs["caFile"]])
        tls_options = {"tls": True, "tlsCAFile": certs["caFile"],
                       "tlsCertificateKeyFile": certs["clientPem"]}
        self.client("127.0.0.162", port, **tls_options).admin.command(
            "createUser", "admin", pwd="s3cret pw", roles=["root"])
        self.client("127.0.0.162", port, username="admin", password="s3cret pw",
                    **tls_options).shop.items.insert_one({"_id": 1})
        tls = ' --ssl --sslCAFile "%s" --sslPEMKeyFile "%s"' % (certs["caFile"],
                                                                certs["clientPem"])

        def line(out, password, options=tls):
            return ('"%s" --port %d --host 127.0.0.162 --db shop --collection items --out "%s"%s '
                    '2>&1 -u admin --authenticationDatabase admin -p "" <<\'EOF\'\n%s\nEOF\n'
                    % (kit.tool("mongodump"), port, out, options, password))
        run = kit.sh(line(self.path("good"), "s3cret pw"))
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertTrue(run.stdout.startswith("Enter password:\n"), run.stdout)
        self.assertEqual(len(read_bson(self.path("good", "shop", "items.bson"))), 1)
        cases = [
            ("wrong password", line(self.path("bad"), "wrong"), "(AuthenticationFailed) "
             "Authentication failed."),
            ("no TLS", line(self.path("plain"), "s3cret pw", options=""),
             "could not connect to server"),
        ]
        for name, text, error in cases:
            with self.subTest(name):
                run = kit.sh(text)
                self.assertEqual(run.returncode, 1, run.stdout)
                self.assertIn("Failed: can't create session: ", run.stdout)
                self.assertIn(error, run.stdout)
                self.assertNotIn("s3cret", run.stdout)
        self.assertFalse(os.path.exists(self.path("bad")))

    def test_bad_input_fails_and_leaves_nothing_behind(self):
        out = self.path("out")
        dump = self.path("dump")
        self.assertEqual(kit.sh(dump_line(self.port, "shop", dump)).returncode, 0)
        broken = self.path("broken", "shop")
        os.makedirs(broken)
        with open(os.path.join(dump, "shop", "items.bson"), "rb") as f:
            data = f.read()
        with open(os.path.join(broken, "items.bson"), "wb") as f:
            f.write(data[:-7])
        mongodump = '"%s" --port %d --host %s' % (kit.tool("mongodump"), self.port, IP)
        mongorestore = '"%s" --port %d --host %s' % (kit.tool("mongorestore"), self.port, IP)
        cases = [
            ("query that is not JSON", mongodump + ' --db shop --collection items --query '
             '\'{"ts": {"$gt": \' --out "%s"' % out, 1,
             "Failed: error parsing query as Extended JSON: invalid JSON input"),
            ("query with bare keys", mongodump + " --db shop --collection items --query "
             "'{ts: 1}' --out \"%s\"" % out, 1, "error parsing query as Extended JSON"),
            ("query without a collection", mongodump + ' --db shop --query \'{}\' --out "%s"'
             % out, 1, "cannot dump using a query without a specified collection"),
            ("unreachable host", '"%s" --port %d --host %s --db shop --out "%s"'
             % (kit.tool("mongodump"), kit.free_port(IP), IP, out), 1,
             "Failed: can't create session: could not connect to server: server selection "
             "error"),
            ("unknown option", mongodump + ' --db shop --bogus --out "%s"' % out, 3,
             "error parsing command line options: unknown option \"bogus\""),
            ("missing directory", mongorestore + ' "%s"' % self.path("missing"), 1,
             "Failed: mongorestore target '%s' invalid: stat %s: no such file or directory"
             % (self.path("missing"), self.path("missing"))),
            ("limit without replay", mongorestore + ' --oplogLimit=5 "%s"' % dump, 1,
             "cannot use --oplogLimit without --oplogReplay enabled"),
            ("limit that is no time", mongorestore + ' --oplogReplay --oplogLimit=soon "%s"'
             % dump, 1, "error parsing timestamp argument to --oplogLimit"),
            ("replay without an oplog", mongorestore + ' --oplogReplay "%s"' % dump, 1,
             "no oplog file to replay"),
            ("truncated data file", mongorestore + ' --nsInclude "shop.*" --nsFrom "shop.*" '
             '--nsTo "cut.*" "%s"' % self.path("broken"), 1, "reading bson input"),
        ]
        for name, line, status, text in cases:
            with self.subTest(name):
                run = kit.sh(line + " 2>&1")
                self.assertEqual(run.returncode, status, run.stdout)
                self.assertIn(text, run.stdout)
                self.assertFalse(os.path.exists(out), "nothing written")
        self.assertNotIn("replay", self.c.list_database_names())


class OplogReplayTest(kit.KitTestCase):
    """A copy of a locked secondary's data directory, brought forward by
    replaying the oplog dumped from that secondary, stops exactly at the
    limit."""

    def wait_caught_up(self, primary, secondary):
        target = primary.admin.command("replSetGetStatus")["optimes"]["appliedOpTime"]["ts"]
        kit.wait_for(lambda: secondary.admin.command("replSetGetStatus")["optimes"][
            "appliedOpTime"]["ts"] >= target, what="the secondary to catch up")

    @staticmethod
    def next_second():
        time.sleep(1.05 - time.time() % 1)

    def state(self, client):
        return {name: list(client.shop[name].find().sort("_id"))
                for name in sorted(client.shop.list_collection_names())}

    def test_replay_stops_at_the_limit(self):
        rs = self.cluster(members=2, ip_base=163, tool_dir=kit.BIN)
        members = rs.state["members"]
        primary = self.client(members[0]["ip"], members[0]["port"])
        secondary = self.client(members[1]["ip"], members[1]["port"],
                                readPreference="secondaryPreferred")
        primary.shop.items.insert_many([{"_id": i, "n": i} for i in range(10)])
        self.wait_caught_up(primary, secondary)
        secondary.admin.command("fsync", lock=True)
        snapshot = self.path("snapshot")
        shutil.copytree(members[1]["dbpath"], snapshot)
        point = secondary.admin.command("replSetGetStatus")["optimes"]["lastCommittedOpTime"]["ts"]
        secondary.admin.command("fsyncUnlock")

        self.next_second()
        primary.shop.items.update_one({"_id": 1}, {"$set": {"n": 100}})
        primary.shop.items.delete_one({"_id": 2})
        primary.shop.items.insert_many([{"_id": i, "n": i} for i in range(10, 15)])
        primary.shop.extra.insert_one({"_id": "x"})
        self.wait_caught_up(primary, secondary)
        before_limit = self.state(primary)
        self.next_second()
        primary.shop.items.insert_one({"_id": 99, "n": 99})
        primary.shop.items.update_one({"_id": 3}, {"$set": {"n": 300}})
        primary.shop.drop_collection("extra")
        self.wait_caught_up(primary, secondary)
        final = self.state(primary)
        self.assertNotEqual(before_limit, final)

        staging = self.path("staging")
        run = kit.sh('"%s" --port %d --host %s --db %s --collection %s --out "%s"  --query \'%s\''
                     ' 2>&1' % (kit.tool("mongodump"), members[1]["port"], members[1]["ip"],
                                "local", "oplog.rs", staging, OPLOG_QUERY % point.time))
        self.assertEqual(run.returncode, 0, run.stdout)
        entries = read_bson(os.path.join(staging, "local", "oplog.rs.bson"))
        self.assertTrue(all(e["ts"] > Timestamp(point.time, 1) for e in entries))
        first_late = next(e["ts"] for e in entries if e.get("o", {}).get("_id") == 99)
        replay_input = self.path("oplog_replay_input")
        os.makedirs(replay_input)
        os.rename(os.path.join(staging, "local", "oplog.rs.bson"),
                  os.path.join(replay_input, "oplog.bson"))

        cases = [
            ("limit in seconds", "=%d" % first_late.time, before_limit),
            ("limit at the first later entry", "=%d:%d" % (first_late.time, first_late.inc),
             before_limit),
            ("limit just after it", "=%d:%d" % (first_late.time, first_late.inc + 1),
             dict(before_limit, items=sorted(before_limit["items"] + [{"_id": 99, "n": 99}],
                                             key=lambda d: d["_id"]))),
            ("no limit", None, final),
        ]
        for i, (name, limit, expected) in enumerate(cases):
            with self.subTest(name):
                shutil.copytree(snapshot, self.path("copy%d" % i))
                port, _, _ = self.start_mongod(name="copy%d" % i, ip="127.0.0.1")
                option = " --oplogLimit%s" % limit if limit else ""
                run = kit.sh('"%s" --port %d  --oplogReplay%s "%s" 2>&1'
                             % (kit.tool("mongorestore"), port, option, replay_input))
                self.assertEqual(run.returncode, 0, run.stdout)
                self.assertIn("replaying oplog", messages(run.stdout))
                self.assertEqual(self.state(self.client("127.0.0.1", port)), expected)


if __name__ == "__main__":
    unittest.main()
