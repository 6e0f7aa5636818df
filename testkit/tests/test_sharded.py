"""A sharded cluster (one config server, two one-member shards, a router):
the router's cluster commands and metadata, how it routes data, the shell's
balancer scripts and the dump tools through it."""
import json
import os
import unittest

import pymongo
from bson import Int64
from pymongo.errors import OperationFailure

from tests import kit
from mongokit.sharded import ShardedCluster

MODULE_SHARD_COLLECTION_FILTER = {"_id": "sales.orders", "dropped": False}


def router_line(router, script, bin_dir=None):
    """The shell line the module runs for its balancer scripts."""
    return '"%s" --port %d --host %s --quiet --eval "%s" 2>&1' % (
        kit.tool("mongo", bin_dir), router["port"], router["ip"], script)


class RouterTest(kit.SharedRootCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cluster = ShardedCluster(os.path.join(cls.class_root, "cluster"), shards=2,
                                     members=1, ip_base=141, tool_dir=kit.BIN)
        cls.addClassCleanup(cls.cluster.down)
        cls.state = cls.cluster.up()
        cls.router_info = cls.state["routers"][0]
        cls.router = pymongo.MongoClient(cls.router_info["ip"], cls.router_info["port"],
                                         directConnection=True, serverSelectionTimeoutMS=5000)
        cls.addClassCleanup(cls.router.close)

    def shard_client(self, name):
        shard = next(s for s in self.state["shards"] if s["setName"] == name)
        member = shard["members"][0]
        client = pymongo.MongoClient(member["ip"], member["port"], directConnection=True)
        self.addCleanup(client.close)
        return client

    def test_router_identifies_itself_and_the_cluster(self):
        admin = self.router.admin
        grid = admin.command("isdbgrid")
        self.assertIs(type(grid["isdbgrid"]), int)
        self.assertEqual(grid["isdbgrid"], 1)
        hello = admin.command("isMaster")
        self.assertEqual((hello["msg"], hello["ismaster"]), ("isdbgrid", True))
        self.assertNotIn("setName", hello)
        self.assertIn("operationTime", admin.command("ping"))
        shards = [s["setName"] + "/" + s["members"][0]["host"] for s in self.state["shards"]]
        self.assertEqual(admin.command("listShards")["shards"], [
            {"_id": "sh1", "host": shards[0], "state": 1},
            {"_id": "sh2", "host": shards[1], "state": 1}])
        shard_map = admin.command("getShardMap")
        self.assertEqual(shard_map["map"], {"sh1": shards[0], "sh2": shards[1],
                                            "config": self.state["configdb"]})
        self.assertEqual(shard_map["connStrings"][self.state["configdb"]], "config")
        config_host = self.state["configServers"]["members"][0]["host"]
        self.assertEqual(shard_map["hosts"][config_host], "config")
        opts = admin.command("getCmdLineOpts")
        self.assertEqual(opts["parsed"]["sharding"]["configDB"], self.state["configdb"])
        self.assertEqual(opts["parsed"]["net"]["port"], self.router_info["port"])
        self.assertEqual(admin.command("serverStatus")["process"], "mongos")
        self.assertEqual(admin.command("buildInfo")["version"], "4.4.6")

    def test_libmongoc_sees_a_router(self):
        if not kit.MONGOC_PROBE:
            self.skipTest("MONGOC_PROBE not built")
        uri = "mongodb://%s/?appname=tarnwell-agent" % self.router_info["host"]
        out = kit.run([kit.MONGOC_PROBE, uri, '{"isdbgrid" : 1}', '{ "getShardMap" : 1 }',
                       '{"isMaster" : 1}'])
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn('"isdbgrid" : 1,', out.stdout)
        self.assertIn('"config" : "%s"' % self.state["configdb"], out.stdout)
        self.assertIn('"msg" : "isdbgrid"', out.stdout)
        out = kit.run([kit.MONGOC_PROBE, uri])
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn('found { "_id" : 1, "name" : "changed" }', out.stdout)

    def test_writes_land_on_the_primary_shard_and_reads_gather_every_shard(self):
        items = self.router.shop.items
        items.insert_many([{"_id": i, "kind": "ab"[i % 2], "n": i} for i in range(20)])
        primary = self.router.config.databases.find_one({"_id": "shop"})
        self.assertEqual(primary["partitioned"], False)
        other = {"sh1": "sh2", "sh2": "sh1"}[primary["primary"]]
        self.assertEqual(self.shard_client(primary["primary"]).shop.items.count_documents({}), 20)
        self.assertNotIn("shop", self.shard_client(other).list_database_names())
        # A document another shard holds (as a restored shard would) is read too.
        self.shard_client(other).shop.items.insert_one({"_id": 100, "kind": "a", "n": 100})
        self.assertEqual(items.count_documents({}), 21)
        self.assertEqual(items.count_documents({"kind": "a"}, skip=2, limit=5), 5)
        self.assertEqual([d["_id"] for d in items.find({"n": {"$gte": 15}}).sort("n", -1)
                          .skip(1).limit(3)], [19, 18, 17])
        self.assertEqual(len(list(items.find(batch_size=4))), 21, "getMore on the router")
        self.assertEqual(sorted(items.distinct("kind")), ["a", "b"])
        grouped = list(items.aggregate([{"$match": {"kind": "a"}},
                                        {"$group": {"_id": "$kind", "total": {"$sum": 1}}}]))
        self.assertEqual(grouped, [{"_id": "a", "total": 11}])
        self.assertEqual(items.update_many({"kind": "b"}, {"$inc": {"n": 1000}}).modified_count,
                         10)
        self.assertEqual(items.delete_one({"_id": 0}).deleted_count, 1)
        self.assertEqual(self.router.shop.list_collection_names(), ["items"])
        stats = self.router.shop.command("collStats", "items")
        self.assertEqual((stats["count"], stats["sharded"]), (20, False))
        self.assertEqual(sorted(stats["shards"]), ["sh1", "sh2"])

    def test_list_databases_reports_each_shards_size(self):
        self.router.inventory.parts.insert_one({"_id": 1, "name": "bolt"})
        primary = self.router.config.databases.find_one({"_id": "inventory"})["primary"]
        reply = self.router.admin.command("listDatabases")
        entries = {d["name"]: d for d in reply["databases"]}
        self.assertEqual([d["name"] for d in reply["databases"]], sorted(entries))
        self.assertEqual(list(entries["inventory"]["shards"]), [primary])
        self.assertEqual(list(entries["config"]["shards"]), ["config"])
        self.assertEqual(list(entries["admin"]["shards"]), ["config"])
        self.assertNotIn("local", entries)
        for entry in entries.values():
            self.assertIsInstance(entry["sizeOnDisk"], Int64)
            self.assertEqual(entry["sizeOnDisk"], sum(entry["shards"].values()))
        self.assertEqual(reply["totalSize"], sum(d["sizeOnDisk"] for d in entries.values()))
        self.assertIn({"name": "inventory"},
                      self.router.admin.command("listDatabases", nameOnly=True)["databases"])

    def test_shard_collection_is_recorded_in_the_config_database(self):
        admin = self.router.admin
        refusals = [
            ("database not enabled", {"key": {"a": 1}}, "sales.orders", 20,
             "sharding not enabled for db sales"),
            ("descending key", {"key": {"a": -1}}, "sales.orders", 2, "Unsupported shard key"),
            ("unique hashed key", {"key": {"a": "hashed"}, "unique": True}, "sales.orders", 2,
             "hashed shard keys cannot be declared unique"),
            ("no collection name", {"key": {"a": 1}}, "sales", 73, "Invalid namespace"),
        ]
        for name, options, ns, code, text in refusals:
            with self.subTest(name):
                with self.assertRaises(OperationFailure) as ctx:
                    admin.command("shardCollection", ns, **options)
                self.assertEqual(ctx.exception.code, code)
                self.assertIn(text, ctx.exception.details["errmsg"])
        admin.command("enableSharding", "sales")
        self.assertIs(self.router.config.databases.find_one({"_id": "sales"})["partitioned"], True)
        # The module sends the options in this order, unique before key.
        reply = admin.command({"shardCollection": "sales.orders", "unique": True,
                               "key": {"region": 1, "_id": 1}})
        self.assertEqual(reply["collectionsharded"], "sales.orders")
        doc = self.router.config.collections.find_one(MODULE_SHARD_COLLECTION_FILTER)
        self.assertEqual(list(doc["key"].items()), [("region", 1), ("_id", 1)])
        self.assertEqual((doc["unique"], doc["dropped"]), (True, False))
        self.assertEqual(self.router.sales.list_collection_names(), ["orders"])
        primary = self.router.config.databases.find_one({"_id": "sales"})["primary"]
        chunk = self.router.config.chunks.find_one({"ns": "sales.orders"})
        self.assertEqual(chunk["shard"], primary)
        index = self.shard_client(primary).sales.orders.index_information()["region_1__id_1"]
        self.assertEqual((index["key"], index["unique"]), ([("region", 1), ("_id", 1)], True))
        # A collection holding documents needs an index on the key first.
        self.router.sales.filled.insert_one({"_id": 1, "c": 1})
        with self.assertRaises(OperationFailure) as ctx:
            admin.command("shardCollection", "sales.filled", key={"c": 1})
        self.assertEqual(ctx.exception.code, 72)
        self.router.sales.filled.create_index([("c", 1), ("d", 1)])
        admin.command("shardCollection", "sales.filled", key={"c": 1})
        admin.command("shardCollection", "sales.orders", key={"region": 1, "_id": 1},
                      unique=True)
        with self.assertRaises(OperationFailure):
            admin.command("shardCollection", "sales.orders", key={"other": 1})
        admin.command("shardCollection", "sales.visits", key={"user": "hashed"})
        self.assertEqual(self.router.sales.command("collStats", "visits")["sharded"], True)
        self.router.sales.drop_collection("orders")
        self.assertIsNone(self.router.config.collections.find_one(MODULE_SHARD_COLLECTION_FILTER))
        self.assertIs(self.router.config.collections.find_one({"_id": "sales.orders"})["dropped"],
                      True)
        self.router.drop_database("sales")
        self.assertIsNone(self.router.config.databases.find_one({"_id": "sales"}))
        self.assertIsNone(self.router.config.collections.find_one(
            {"_id": "sales.visits", "dropped": False}))

    def test_balancer_through_commands_and_the_shell(self):
        admin = self.router.admin
        admin.command("balancerStop")
        self.assertEqual(admin.command("balancerStatus")["mode"], "off")
        settings = self.router.config.settings.find_one({"_id": "balancer"})
        self.assertEqual((settings["mode"], settings["stopped"]), ("off", True))
        admin.command("balancerStart")
        self.assertEqual(admin.command("balancerStatus")["mode"], "full")
        tools32 = kit.make_tool_dir(os.path.join(self.class_root, "tools32"), version="3.2.22")
        for bin_dir, stopped_text in ((None, '"ok" : 1'), (tools32, "Waiting for active hosts")):
            with self.subTest(shell=bin_dir or "4.4"):
                out = kit.sh(router_line(self.router_info, "sh.stopBalancer()", bin_dir))
                self.assertEqual(out.returncode, 0, out.stdout)
                self.assertIn(stopped_text, out.stdout)
                out = kit.sh(router_line(self.router_info, "sh.getBalancerState()", bin_dir))
                self.assertEqual(out.stdout, "false\n")
                self.assertEqual(kit.sh(router_line(self.router_info, "sh.startBalancer()",
                                                    bin_dir)).returncode, 0)
                out = kit.sh(router_line(self.router_info, "sh.getBalancerState()", bin_dir))
                self.assertEqual(out.stdout, "true\n")

    def test_shards_hold_their_identity(self):
        cluster_id = self.router.config.version.find_one({"_id": 1})["clusterId"]
        for shard in ("sh1", "sh2"):
            with self.subTest(shard):
                versions = self.shard_client(shard).admin["system.version"]
                identity = versions.find_one({"_id": "shardIdentity"})
                self.assertEqual((identity["shardName"], identity["configsvrConnectionString"],
                                  identity["clusterId"]),
                                 (shard, self.state["configdb"], cluster_id))
                recovery = versions.find_one({"_id": "minOpTimeRecovery"})
                self.assertEqual(recovery["shardName"], shard)

    def test_add_shard_refusals(self):
        plain = kit.Cluster(os.path.join(self.class_root, "plain"), members=1, ip_base=146,
                            set_name="plain", tool_dir=kit.BIN)
        self.addCleanup(plain.down)
        plain.up()
        config = self.state["configdb"]
        cases = [
            ("not started with --shardsvr", "plain/" + plain.state["members"][0]["host"],
             "not started with --shardsvr"),
            ("the config servers", config, "config server"),
            ("set name mismatch", "other/" + plain.state["members"][0]["host"],
             "does not match the actual set name plain"),
        ]
        for name, text, message in cases:
            with self.subTest(name):
                with self.assertRaises(OperationFailure) as ctx:
                    self.router.admin.command("addShard", text)
                self.assertIn(message, ctx.exception.details["errmsg"])
        self.assertEqual(len(self.router.admin.command("listShards")["shards"]), 2)

    def test_dump_through_the_router_restores_under_another_name(self):
        self.router.books.titles.insert_many([{"_id": i, "t": "b%d" % i} for i in range(30)])
        out_dir = os.path.join(self.class_root, "book-dump")
        host = "--port %d --host %s" % (self.router_info["port"], self.router_info["ip"])
        dump = kit.sh('"%s" %s --db "books" --out "%s" 2>&1'
                      % (kit.tool("mongodump"), host, out_dir))
        self.assertEqual(dump.returncode, 0, dump.stdout)
        restore = kit.sh('"%s" %s --nsInclude "books.*" --nsFrom "books.*" --nsTo "books_old.*" '
                         '"%s" 2>&1' % (kit.tool("mongorestore"), host, out_dir))
        self.assertEqual(restore.returncode, 0, restore.stdout)
        self.assertEqual(list(self.router.books_old.titles.find().sort("_id")),
                         list(self.router.books.titles.find().sort("_id")))


class ShardedLauncherTest(kit.KitTestCase):
    def test_command_line_up_status_down(self):
        directory = self.path("cli")
        up = kit.run([kit.tool("mongo-cluster"), "up", "--dir", directory, "--shards", "2",
                      "--members", "3", "--ip-base", "151"])
        self.addCleanup(kit.run, [kit.tool("mongo-cluster"), "down", "--dir", directory])
        self.assertEqual(up.returncode, 0, up.stdout)
        state = json.loads(up.stdout)
        sets = [state["configServers"]] + state["shards"]
        self.assertEqual([rs["setName"] for rs in sets], ["cfg", "sh1", "sh2"])
        ips = [m["ip"] for rs in sets for m in rs["members"]] + [r["ip"] for r in state["routers"]]
        self.assertEqual(ips, ["127.0.0.%d" % i for i in range(151, 159)])
        router = self.client(state["routers"][0]["ip"], state["routers"][0]["port"])
        hosts = [s["host"] for s in router.admin.command("listShards")["shards"]]
        self.assertEqual(hosts, ["%s/%s" % (rs["setName"],
                                            ",".join(m["host"] for m in rs["members"]))
                                 for rs in state["shards"]])
        self.assertEqual(router.admin.command("getShardMap")["map"]["config"], state["configdb"])
        router.shop.items.insert_one({"_id": 1})
        primary = router.config.databases.find_one({"_id": "shop"})["primary"]
        shard = next(rs for rs in state["shards"] if rs["setName"] == primary)
        last = shard["members"][2]
        kit.wait_for(lambda: self.client(last["ip"], last["port"], readPreference="secondary")
                     .shop.items.find_one({"_id": 1}), what="replication inside the shard")
        status = json.loads(kit.run([kit.tool("mongo-cluster"), "status", "--dir", directory])
                            .stdout)
        self.assertEqual([[m["stateStr"] for m in rs["members"]] for rs in status["sets"]],
                         [["PRIMARY"], ["PRIMARY", "SECONDARY", "SECONDARY"],
                          ["PRIMARY", "SECONDARY", "SECONDARY"]])
        pids = [state["routers"][0]["pid"]] + [kit.lock_pid(m["dbpath"]) for rs in sets
                                               for m in rs["members"]]
        down = kit.run([kit.tool("mongo-cluster"), "down", "--dir", directory])
        self.assertEqual(down.returncode, 0, down.stdout)
        self.assertEqual(sorted(json.loads(down.stdout)["stopped"]), sorted(pids))
        self.assertFalse(any(kit.alive(p) for p in pids))


class SecuredClusterTest(kit.KitTestCase):
    """A cluster with a user, the key file and TLS everywhere, reached as
    the module reaches it: the shell and the tools with -p "" and the
    password on standard input."""

    def test_router_requires_the_clusters_user(self):
        password_file = self.path("password")
        with open(password_file, "w") as f:
            f.write("pass word\n")
        directory = self.path("secure")
        up = kit.run([kit.tool("mongo-cluster"), "up", "--dir", directory, "--shards", "2",
                      "--members", "1", "--ip-base", "171", "--user", "admin",
                      "--password-file", password_file, "--tls"])
        self.addCleanup(kit.run, [kit.tool("mongo-cluster"), "down", "--dir", directory])
        self.assertEqual(up.returncode, 0, up.stdout)
        state = json.loads(up.stdout)
        router, certs = state["routers"][0], state["tls"]
        tls = ' --ssl --sslCAFile "%s" --sslPEMKeyFile "%s"' % (certs["caFile"],
                                                                certs["clientPem"])
        credentials = ' -u admin --authenticationDatabase admin -p "" <<\'EOF\'\npass word\nEOF\n'
        shell = router_line(router, "sh.getBalancerState()") + tls
        out = kit.sh(shell + credentials)
        self.assertEqual((out.returncode, out.stdout), (0, "Enter password: \ntrue\n"))
        out = kit.sh(shell)
        self.assertEqual(out.returncode, 252, out.stdout)
        self.assertIn("uncaught exception: Error: error: ", out.stdout)
        self.assertIn('"errmsg" : "command find requires authentication"', out.stdout)
        dump = kit.sh('"%s" --port %d --host %s --db config --collection shards --out "%s"%s 2>&1'
                      % (kit.tool("mongodump"), router["port"], router["ip"], self.path("dump"),
                         tls) + credentials)
        self.assertEqual(dump.returncode, 0, dump.stdout)
        self.assertIn("done dumping config.shards (2 documents)", dump.stdout)
        anonymous = self.client(router["ip"], router["port"], tls=True,
                                tlsCAFile=certs["caFile"], tlsCertificateKeyFile=certs["clientPem"])
        with self.assertRaises(OperationFailure) as ctx:
            anonymous.admin.command("isdbgrid")
        self.assertEqual(ctx.exception.code, 13)


class RouterProcessTest(kit.KitTestCase):
    def test_refused_command_lines(self):
        config_file = self.path("mongos.conf")
        with open(config_file, "w") as f:
            f.write("sharding:\n  configDB: cfg/127.0.0.1:1\nstorage:\n  dbPath: /tmp\n")
        cases = [
            ("no config servers", [], "BadValue: error: no args for --configdb"),
            ("not a replica set", ["--configdb", "127.0.0.1:1"],
             "configdb supports only replica set connection string"),
            ("a mongod option", ["--configdb", "cfg/127.0.0.1:1", "--dbpath", "/tmp"],
             "unrecognised option '--dbpath'"),
            ("a mongod setting", ["-f", config_file], "Unrecognized option: storage.dbPath"),
        ]
        for name, args, text in cases:
            with self.subTest(name):
                out = kit.run([kit.tool("mongos")] + args)
                self.assertEqual(out.returncode, 2, out.stdout)
                self.assertIn(text, out.stdout)

    def test_starts_from_a_config_file_and_stops_on_shutdown(self):
        cfg = self.cluster(name="cfg", members=1, ip_base=147, set_name="cfg",
                           cluster_role="configsvr", tool_dir=kit.BIN)
        port = kit.free_port("127.0.0.148")
        config_file = self.path("mongos.conf")
        with open(config_file, "w") as f:
            f.write("sharding:\n  configDB: cfg/%s\nnet:\n  port: %d\n  bindIp: 127.0.0.148\n"
                    "systemLog:\n  destination: file\n  path: %s\nprocessManagement:\n"
                    "  fork: true\n" % (cfg.state["members"][0]["host"], port,
                                        self.path("mongos.log")))
        out = kit.run([kit.tool("mongos"), "--config", config_file])
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn("child process started successfully", out.stdout)
        pid = int(out.stdout.split("forked process:")[1].split()[0])
        client = self.client("127.0.0.148", port)
        self.assertEqual(client.admin.command("isMaster")["msg"], "isdbgrid")
        self.assertEqual(client.admin.command("getCmdLineOpts")["parsed"]["config"], config_file)
        try:
            client.admin.command("shutdown")
        except pymongo.errors.AutoReconnect:
            pass
        self.assertTrue(kit.wait_gone(pid))
        announced = self.client(cfg.state["members"][0]["ip"], cfg.state["members"][0]["port"])
        self.assertEqual(announced.config.mongos.count_documents({}), 1)


if __name__ == "__main__":
    unittest.main()
