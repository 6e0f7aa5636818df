"""One mongod at a time: handshake, CRUD, persistence, process behaviour,
fsync lock, authentication, TLS and bad input."""
import json
import os
import shutil
import socket
import struct
import threading
import unittest

import pymongo
from bson import Int64
from pymongo.errors import AutoReconnect, OperationFailure, ServerSelectionTimeoutError

from tests import kit
from mongokit import wire
from mongokit.certs import make_certificates

IP = "127.0.0.11"


class HandshakeAndCrudTest(kit.KitTestCase):
    def setUp(self):
        super().setUp()
        self.port, self.dbpath, _ = self.start_mongod(ip=IP)
        self.c = self.client(IP, self.port, appname="tarnwell-agent")

    def test_handshake_fields_and_types(self):
        hello = self.c.admin.command("isMaster")
        self.assertIs(hello["ismaster"], True)
        self.assertEqual(hello["maxWireVersion"], 9)
        self.assertIsInstance(hello["ok"], float)
        # Without this field drivers send no sessions (lsid) and no endSessions.
        self.assertNotIn("logicalSessionTimeoutMinutes", hello)
        self.assertIs(self.c.admin.command("hello")["isWritablePrimary"], True)
        ops = self.c.admin.command("currentOp")["inprog"]
        self.assertIn("tarnwell-agent", [op["appName"] for op in ops])

    def test_unknown_commands_fail_with_59(self):
        for name in ("isdbgrid", "bogusCommand"):
            with self.subTest(name):
                with self.assertRaises(OperationFailure) as ctx:
                    self.c.admin.command(name)
                self.assertEqual(ctx.exception.code, 59)
                self.assertEqual(ctx.exception.details["errmsg"], "no such command: '%s'" % name)

    def test_crud_round_trip(self):
        coll = self.c.shop.items
        coll.insert_many([{"_id": i, "kind": "ab"[i % 2], "n": i, "tags": ["t%d" % (i % 3)]}
                          for i in range(300)])
        self.assertEqual(coll.count_documents({"kind": "a"}), 150)
        self.assertEqual(self.c.shop.command("count", "items", query={"n": {"$gte": 290}})["n"],
                         10)
        page = list(coll.find({"n": {"$lt": 50, "$nin": [0, 1]}, "tags": "t1"}, {"n": 1, "_id": 0})
                    .sort("n", -1).skip(1).limit(3))
        self.assertEqual(page, [{"n": 46}, {"n": 43}, {"n": 40}])
        self.assertEqual(len(list(coll.find(batch_size=7))), 300, "getMore serves the rest")
        result = coll.update_many({"kind": "b"}, {"$inc": {"n": 1000}, "$set": {"seen": True}})
        self.assertEqual((result.matched_count, result.modified_count), (150, 150))
        result = coll.update_one({"_id": "new"}, {"$set": {"x": 1}}, upsert=True)
        self.assertEqual(result.upserted_id, "new")
        coll.replace_one({"_id": 2}, {"replaced": True})
        self.assertEqual(coll.find_one({"_id": 2}), {"_id": 2, "replaced": True})
        self.assertEqual(coll.delete_many({"seen": True}).deleted_count, 150)
        self.assertEqual(coll.delete_one({"_id": "missing"}).deleted_count, 0)
        self.assertEqual(coll.count_documents({}), 151)
        with self.assertRaises(pymongo.errors.DuplicateKeyError):
            coll.insert_one({"_id": 2})

    def test_cursor_kill_and_missing_cursor(self):
        coll = self.c.db.c
        coll.insert_many([{"i": i} for i in range(20)])
        reply = self.c.db.command("find", "c", batchSize=5)
        cursor_id = reply["cursor"]["id"]
        self.assertIsInstance(cursor_id, Int64)
        killed = self.c.db.command("killCursors", "c", cursors=[cursor_id])
        self.assertEqual(killed["cursorsKilled"], [cursor_id])
        with self.assertRaises(OperationFailure) as ctx:
            self.c.db.command("getMore", cursor_id, collection="c")
        self.assertEqual(ctx.exception.code, 43)

    def test_namespaces(self):
        self.c.app.create_collection("logs", capped=True, size=100000)
        self.c.app.users.insert_one({"a": 1})
        infos = {i["name"]: i for i in self.c.app.list_collections()}
        self.assertEqual(infos["logs"]["options"], {"capped": True, "size": 100000})
        self.assertEqual(sorted(infos), ["logs", "users"])
        dbs = self.c.admin.command("listDatabases")
        self.assertIn("app", [d["name"] for d in dbs["databases"]])
        self.assertIsInstance(dbs["totalSize"], float)
        self.assertEqual(self.c.admin.command("listDatabases", nameOnly=True)["databases"][0],
                         {"name": "admin"})
        self.assertGreater(self.c.app.command("collStats", "users")["storageSize"], 0)
        self.c.app.drop_collection("users")
        self.assertEqual(self.c.app.list_collection_names(), ["logs"])
        with self.assertRaises(OperationFailure) as ctx:
            self.c.app.command("drop", "users")
        self.assertEqual(ctx.exception.code, 26)
        self.assertEqual(self.c.app.command("dropDatabase"), {"dropped": "app", "ok": 1.0})
        self.assertNotIn("app", self.c.list_database_names())

    def test_index_specs_are_kept(self):
        items = self.c.shop.items
        self.assertEqual(items.create_index([("a", 1), ("b", "hashed")]), "a_1_b_hashed")
        reply = self.c.shop.command("createIndexes", "items", indexes=[
            {"key": {"a": 1, "b": "hashed"}, "name": "a_1_b_hashed"}])
        self.assertEqual((reply["numIndexesBefore"], reply["numIndexesAfter"], reply["note"]),
                         (2, 2, "all indexes already exist"))
        self.assertEqual([i["key"] for i in self.c.shop.command("listIndexes", "items")[
            "cursor"]["firstBatch"]], [{"_id": 1}, {"a": 1, "b": "hashed"}])
        refusals = [
            ("same name, other key", {"createIndexes": "items", "indexes": [
                {"key": {"z": 1}, "name": "a_1_b_hashed"}]}, 86),
            ("same key, other name", {"createIndexes": "items", "indexes": [
                {"key": {"a": 1, "b": "hashed"}, "name": "other"}]}, 85),
            ("zero in a key", {"createIndexes": "items", "indexes": [
                {"key": {"a": 0}, "name": "a_0"}]}, 67),
            ("the _id index", {"dropIndexes": "items", "index": "_id_"}, 72),
            ("a missing index", {"dropIndexes": "items", "index": "nope"}, 27),
        ]
        for name, command, code in refusals:
            with self.subTest(name):
                with self.assertRaises(OperationFailure) as ctx:
                    self.c.shop.command(command)
                self.assertEqual(ctx.exception.code, code)
        self.assertEqual(self.c.shop.command("dropIndexes", "items", index="*")["nIndexesWas"], 2)
        self.assertEqual(list(items.index_information()), ["_id_"])

    def test_system_collections_are_writable_on_a_stand_alone(self):
        admin = self.c.admin
        admin.system.version.insert_one({"_id": "shardIdentity", "configsvrConnectionString": "a"})
        result = admin.system.version.update_one(
            {"_id": "shardIdentity"}, {"$set": {"configsvrConnectionString": "cfg/h:1"}})
        self.assertEqual((result.matched_count, result.modified_count), (1, 1))
        self.assertEqual(admin.system.version.delete_one({"_id": "minOpTimeRecovery"})
                         .deleted_count, 0)
        self.assertEqual(self.c.local.command("dropDatabase")["ok"], 1.0)

    def test_libmongoc_handshake_and_crud(self):
        if not kit.MONGOC_PROBE:
            self.skipTest("MONGOC_PROBE not built")
        out = kit.run([kit.MONGOC_PROBE, "mongodb://%s:%d/?appname=tarnwell-agent"
                       % (IP, self.port)])
        self.assertEqual(out.returncode, 0, out.stdout)
        self.assertIn('found { "_id" : 1, "name" : "changed" }', out.stdout)
        self.assertIn('"modifiedCount" : 1, "matchedCount" : 1', out.stdout)
        self.assertIn("databases admin kit_probe", out.stdout)
        out = kit.run([kit.MONGOC_PROBE, "mongodb://%s:%d" % (IP, self.port), '{"isdbgrid": 1}'])
        self.assertIn("error 59 no such command: 'isdbgrid'", out.stdout)


class MalformedInputTest(kit.KitTestCase):
    def setUp(self):
        super().setUp()
        self.port, _, _ = self.start_mongod(ip=IP)

    def send(self, data, expect_reply):
        with socket.create_connection((IP, self.port), timeout=5) as s:
            s.sendall(data)
            if not expect_reply:
                s.settimeout(2)
                self.assertEqual(s.recv(100), b"", "the server closes the connection")
                return None
            header = s.recv(16)
            length = struct.unpack("<i", header[:4])[0]
            payload = b""
            while len(payload) < length - 16:
                payload += s.recv(length - 16 - len(payload))
            return wire.parse_reply_payload(struct.unpack("<i", header[12:16])[0], payload)

    def test_bad_messages_never_kill_the_server(self):
        good = wire.encode({"ping": 1, "$db": "admin"})
        bad_bson = bytearray(good)
        bad_bson[4] = 0x7F
        msg_body = struct.pack("<I", 0) + b"\x00" + bytes(bad_bson)
        reply = self.send(struct.pack("<iiii", 16 + len(msg_body), 1, 0, wire.OP_MSG) + msg_body,
                          True)
        self.assertEqual((reply["ok"], reply["code"]), (0.0, 22))
        no_db = struct.pack("<I", 0) + b"\x00" + wire.encode({"ping": 1})
        reply = self.send(struct.pack("<iiii", 16 + len(no_db), 2, 0, wire.OP_MSG) + no_db, True)
        self.assertEqual(reply["ok"], 0.0)
        for garbage in (struct.pack("<iiii", 8, 1, 0, wire.OP_MSG),          # length < header
                        struct.pack("<iiii", 100, 1, 0, 9999) + b"x" * 84,    # unknown opcode
                        struct.pack("<iiii", 10 ** 9, 1, 0, wire.OP_MSG)):    # absurd length
            self.send(garbage, False)
        self.assertEqual(self.client(IP, self.port).admin.command("ping")["ok"], 1.0)


class ProcessTest(kit.KitTestCase):
    def test_fork_returns_only_once_listening(self):
        port, dbpath, proc = self.start_mongod(ip=IP)
        self.assertIn("about to fork child process, waiting until server is ready for "
                      "connections.", proc.stdout)
        pid = int(proc.stdout.split("forked process: ")[1].split()[0])
        self.assertIn("child process started successfully, parent exiting", proc.stdout)
        self.assertTrue(kit.port_open(IP, port))
        self.assertEqual(kit.lock_pid(dbpath), pid)

    def test_start_failures_are_reported_by_the_parent(self):
        port, _, _ = self.start_mongod(ip=IP)
        cases = [
            ("in-use port", ["--port", str(port)], 48, "exited with error number 48"),
            ("missing dbpath", ["--dbpath", self.path("missing")], 100,
             "exited with error number 100"),
        ]
        for name, extra, code, text in cases:
            with self.subTest(name):
                os.makedirs(self.path("other"), exist_ok=True)
                args = [kit.tool("mongod"), "--dbpath", self.path("other"), "--port",
                        str(kit.free_port(IP)), "--bind_ip", IP, "--fork",
                        "--logpath", self.path(name + ".log")] + extra
                proc = kit.run(args)
                self.assertEqual(proc.returncode, code, proc.stdout)
                self.assertIn(text, proc.stdout)

    def test_option_errors_exit_2(self):
        broken = self.path("broken.conf")
        with open(broken, "w") as f:
            f.write("net:\n  port: 1\n   bindIp: x\n")
        cases = [
            (["--bogus"], "Error parsing command line: unrecognised option '--bogus'"),
            (["--config", broken], "Error parsing YAML config file"),
            (["--fork", "--dbpath", self.root], "--fork has to be used with --logpath or --syslog"),
        ]
        for args, text in cases:
            with self.subTest(args=args):
                proc = kit.run([kit.tool("mongod")] + args)
                self.assertEqual(proc.returncode, 2)
                self.assertIn(text, proc.stdout)
                self.assertIn("try '", proc.stdout)

    def test_config_file_start_and_reported_options(self):
        port = kit.free_port("127.0.0.1")
        dbpath = self.path("cfgdb")
        os.makedirs(dbpath)
        conf = os.path.join(dbpath, "tw_mongod_%d.conf" % port)
        with open(conf, "w") as f:
            f.write("systemLog:\n destination: file\n path: %s\n logAppend: true\n"
                    "# generated\nstorage:\n dbPath: %s\n journal:\n  enabled: true\n"
                    "processManagement:\n fork: true\nnet:\n port: %d\n bindIp: 127.0.0.1,%s\n"
                    "#replication:\n #replSetName: rs0\n"
                    % (self.path("cfg.log"), dbpath, port, IP))
        proc = kit.run([kit.tool("mongod"), "--config", conf])
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.addCleanup(self.stop_mongod, dbpath)
        self.assertTrue(proc.stdout.strip())
        c = self.client(IP, port)
        opts = c.admin.command("getCmdLineOpts")
        self.assertEqual(opts["argv"], [kit.tool("mongod"), "--config", conf])
        self.assertEqual(opts["parsed"]["config"], conf)
        self.assertEqual(opts["parsed"]["net"], {"port": port, "bindIp": "127.0.0.1," + IP})
        self.assertEqual(opts["parsed"]["storage"]["dbPath"], dbpath)
        self.assertIs(opts["parsed"]["storage"]["journal"]["enabled"], True)
        self.assertNotIn("replication", opts["parsed"])
        self.assertTrue(self.client("127.0.0.1", port).admin.command("ping")["ok"])
        with self.assertRaises(OperationFailure) as ctx:
            c.admin.command("replSetGetStatus")
        self.assertEqual(ctx.exception.code, 76)

    def test_shutdown_by_command_and_by_option(self):
        port, dbpath, _ = self.start_mongod(ip=IP)
        pid = kit.lock_pid(dbpath)
        with self.assertRaises(AutoReconnect):
            self.client(IP, port).admin.command("shutdown", force=True)
        self.assertTrue(kit.wait_gone(pid))
        self.assertEqual(os.path.getsize(os.path.join(dbpath, "mongod.lock")), 0)
        self.start_mongod(ip=IP, port=port)
        pid = kit.lock_pid(dbpath)
        out = kit.run([kit.tool("mongod"), "--shutdown", "--dbpath", dbpath])
        self.assertEqual((out.returncode, out.stdout), (0, "killing process with pid: %d\n" % pid))
        self.assertFalse(kit.alive(pid))
        out = kit.run([kit.tool("mongod"), "--shutdown", "--dbpath", dbpath])
        self.assertEqual(out.returncode, 1)
        self.assertIn("There doesn't seem to be a server running with dbpath", out.stdout)

    def test_second_server_on_the_same_dbpath_is_refused(self):
        _, dbpath, _ = self.start_mongod(ip=IP)
        _, _, proc = self.start_mongod(ip=IP, expect_ok=False)
        self.assertEqual(proc.returncode, 100, proc.stdout)

    def test_data_survives_restart_and_a_copied_directory(self):
        port, dbpath, _ = self.start_mongod(ip=IP)
        c = self.client(IP, port)
        c.shop.items.insert_many([{"_id": i, "v": "x" * i} for i in range(50)])
        c.shop.items.update_one({"_id": 3}, {"$set": {"v": "changed"}})
        c.shop.items.delete_one({"_id": 4})
        c.shop.items.create_index([("v", 1), ("w", -1)], unique=True)
        expected = list(c.shop.items.find())
        indexes = c.shop.items.index_information()
        c.close()
        self.stop_mongod(dbpath)
        copy = self.path("copy")
        shutil.copytree(dbpath, copy)
        for name in ("db", "copy"):
            with self.subTest(name):
                port = kit.free_port(IP)
                self.start_mongod(name=name, ip=IP, port=port)
                copy_client = self.client(IP, port)
                self.assertEqual(list(copy_client.shop.items.find()), expected)
                self.assertEqual(copy_client.shop.items.index_information(), indexes)
                self.stop_mongod(self.path(name))

    def test_runs_as_another_user_with_an_empty_environment(self):
        dbpath = self.path("nobody")
        os.makedirs(dbpath)
        os.chown(dbpath, 65534, 65534)
        os.chmod(self.root, 0o755)
        port = kit.free_port(IP)
        args = [kit.tool("mongod"), "--dbpath", dbpath, "--port", str(port), "--bind_ip", IP,
                "--logpath", os.path.join(dbpath, "log"), "--fork"]
        pid = os.fork()
        if pid == 0:
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                os.dup2(devnull, 1)
                os.setgid(65534)
                os.setuid(65534)
                os.execve(args[0], args, {"LD_LIBRARY_PATH": "/lib64:/lib:/usr/lib:/usr/lib64"})
            finally:
                os._exit(127)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.addCleanup(self.stop_mongod, dbpath)
        c = self.client(IP, port)
        c.t.c.insert_one({"a": 1})
        self.assertEqual(os.stat(os.path.join(dbpath, "t")).st_uid, 65534)


class VersionTest(kit.KitTestCase):
    def version_output(self, version):
        tools = kit.make_tool_dir(self.path("tools-%s" % version), version=version)
        return kit.run([os.path.join(tools, "mongod"), "--version"]).stdout, tools

    def test_version_forms(self):
        text, _ = self.version_output(None)
        self.assertTrue(text.startswith("db version v4.4."))
        build = json.loads(text.split("Build Info: ", 1)[1])
        self.assertEqual(build["version"], text.split()[2][1:])
        text, _ = self.version_output("3.2.22")
        self.assertIn("db version v3.2.22\n", text)
        self.assertNotIn("{", text)
        text, tools = self.version_output("6.0.5")
        self.assertEqual(json.loads(text[text.index("{"):])["version"], "6.0.5")
        port, _, _ = self.start_mongod(ip=IP, bin_dir=tools)
        self.assertEqual(self.client(IP, port).admin.command("buildInfo")["version"], "6.0.5")

    def test_host_aliases_of_the_tool_directory(self):
        # Members can carry names other than loopback addresses, as discovery
        # needs a bindIp entry besides 127.0.0.1/localhost.
        tools = kit.make_tool_dir(self.path("tools"), aliases={"db1.example": "127.0.0.12"})
        port, _, _ = self.start_mongod(ip="127.0.0.1,db1.example", bin_dir=tools,
                                       port=kit.free_port("127.0.0.12"))
        c = self.client("127.0.0.12", port)
        self.assertEqual(c.admin.command("getCmdLineOpts")["parsed"]["net"]["bindIp"],
                         "127.0.0.1,db1.example")
        self.assertTrue(kit.port_open("127.0.0.1", port))


class FsyncLockTest(kit.KitTestCase):
    def test_nested_lock_blocks_writes_and_disk_until_last_unlock(self):
        port, dbpath, _ = self.start_mongod(ip=IP)
        c = self.client(IP, port)
        c.db.c.insert_one({"_id": 0})
        data_file = os.path.join(dbpath, "db", "c.kcol")
        for expected in (1, 2):
            reply = c.admin.command("fsync", lock=True)
            self.assertEqual(reply["lockCount"], expected)
            self.assertIsInstance(reply["lockCount"], Int64)
        self.assertIs(c.admin.command("currentOp", fsyncLock=True)["fsyncLock"], True)
        size = os.path.getsize(data_file)
        done = threading.Event()
        writer = self.client(IP, port)
        thread = threading.Thread(target=lambda: (writer.db.c.insert_one({"_id": 1}), done.set()))
        thread.start()
        self.assertFalse(done.wait(0.7), "a write on a locked server waits")
        self.assertEqual(os.path.getsize(data_file), size, "nothing reaches the disk")
        self.assertEqual(c.db.c.count_documents({}), 1, "reads go on")
        self.assertEqual(c.admin.command("fsyncUnlock")["lockCount"], 1)
        self.assertFalse(done.wait(0.5), "still locked after the first unlock")
        self.assertEqual(c.admin.command("fsyncUnlock")["lockCount"], 0)
        self.assertTrue(done.wait(10))
        thread.join()
        self.assertNotIn("fsyncLock", c.admin.command("currentOp"))
        with self.assertRaises(OperationFailure) as ctx:
            c.admin.command("fsyncUnlock")
        self.assertEqual(ctx.exception.details["errmsg"], "fsyncUnlock called when not locked")


class AuthTest(kit.KitTestCase):
    def test_scram_and_refusals(self):
        port, _, _ = self.start_mongod(ip=IP, extra=["--auth"])
        anonymous = self.client(IP, port)
        self.assertEqual(anonymous.admin.command("ping")["ok"], 1.0)
        with self.assertRaises(OperationFailure) as ctx:
            anonymous.admin.command("listDatabases")
        self.assertEqual((ctx.exception.code, ctx.exception.details["errmsg"]),
                         (13, "command listDatabases requires authentication"))
        anonymous.admin.command("createUser", "admin", pwd="pa ss", roles=["root"])
        with self.assertRaises(OperationFailure):
            anonymous.admin.command("createUser", "second", pwd="x", roles=[])
        for mech in ("SCRAM-SHA-1", "SCRAM-SHA-256", None):
            with self.subTest(mech=mech):
                kwargs = {"authMechanism": mech} if mech else {}
                c = self.client(IP, port, username="admin", password="pa ss", **kwargs)
                self.assertIn("admin", c.list_database_names())
        for user, password in (("admin", "wrong"), ("nobody", "pa ss")):
            with self.subTest(user=user):
                c = self.client(IP, port, username=user, password=password)
                with self.assertRaises(OperationFailure) as ctx:
                    c.admin.command("ping")
                self.assertEqual((ctx.exception.code, ctx.exception.details["errmsg"]),
                                 (18, "Authentication failed."))
        if kit.MONGOC_PROBE:
            uri = "mongodb://admin:pa%%20ss@%s:%d/?appname=tarnwell-agent" % (IP, port)
            out = kit.run([kit.MONGOC_PROBE, uri, '{"listDatabases": 1}'])
            self.assertEqual(out.returncode, 0, out.stdout)
            out = kit.run([kit.MONGOC_PROBE, uri.replace("pa%20ss", "bad"), '{"ping": 1}'])
            self.assertIn("Authentication failed", out.stdout)
        stored = json.dumps(list(self.client(IP, port, username="admin", password="pa ss")
                                 .admin.system.users.find()), default=str)
        self.assertNotIn("pa ss", stored)


class TlsTest(kit.KitTestCase):
    def test_required_tls_with_the_kit_ca(self):
        certs = make_certificates(self.path("certs"), ips=[IP])
        port, _, _ = self.start_mongod(ip=IP, extra=[
            "--sslMode", "requireSSL", "--sslPEMKeyFile", certs["serverPem"],
            "--sslCAFile", certs["caFile"]])
        with open(certs["clientKeyPasswordFile"]) as f:
            key_password = f.read().strip()
        good = [dict(tlsCertificateKeyFile=certs["clientPem"]),
                dict(tlsCertificateKeyFile=certs["clientEncryptedPem"],
                     tlsCertificateKeyFilePassword=key_password)]
        for kwargs in good:
            c = self.client(IP, port, tls=True, tlsCAFile=certs["caFile"], **kwargs)
            self.assertEqual(c.admin.command("ping")["ok"], 1.0)
        refused = [dict(), dict(tls=True, tlsCAFile=certs["caFile"]),
                   dict(tls=True, tlsCertificateKeyFile=certs["clientPem"])]
        for kwargs in refused:
            with self.subTest(kwargs=kwargs):
                c = self.client(IP, port, serverSelectionTimeoutMS=700, **kwargs)
                with self.assertRaises(ServerSelectionTimeoutError):
                    c.admin.command("ping")

    def test_client_certificate_optional_when_allowed(self):
        certs = make_certificates(self.path("certs"), ips=[IP])
        port, _, _ = self.start_mongod(ip=IP, extra=[
            "--tlsMode", "requireTLS", "--tlsCertificateKeyFile", certs["serverPem"],
            "--tlsCAFile", certs["caFile"], "--tlsAllowConnectionsWithoutCertificates"])
        c = self.client(IP, port, tls=True, tlsCAFile=certs["caFile"])
        self.assertEqual(c.admin.command("ping")["ok"], 1.0)


if __name__ == "__main__":
    unittest.main()
