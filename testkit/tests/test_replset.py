"""Replica sets of separate processes, started with the launcher."""
import json
import os
import time
import unittest

from bson import Int64
from bson.timestamp import Timestamp
from pymongo.errors import NotMasterError, OperationFailure

from tests import kit


def member_client(test, cluster, index, **kwargs):
    m = cluster.state["members"][index]
    return test.client(m["ip"], m["port"], readPreference="secondaryPreferred", **kwargs)


def status_of(client):
    return client.admin.command("replSetGetStatus")


def applied(client):
    return status_of(client)["optimes"]["appliedOpTime"]["ts"]


class LauncherTest(kit.KitTestCase):
    def test_command_line_up_status_down(self):
        directory = self.path("cli")
        start = time.monotonic()
        up = kit.run([kit.tool("mongo-cluster"), "up", "--dir", directory, "--ip-base", "31"])
        self.addCleanup(kit.run, [kit.tool("mongo-cluster"), "down", "--dir", directory])
        self.assertEqual(up.returncode, 0, up.stdout)
        self.assertLess(time.monotonic() - start, 30)
        state = json.loads(up.stdout)
        self.assertEqual([m["ip"] for m in state["members"]],
                         ["127.0.0.31", "127.0.0.32", "127.0.0.33"])
        self.assertEqual(state["primary"], state["members"][0]["host"])
        status = json.loads(kit.run([kit.tool("mongo-cluster"), "status", "--dir", directory])
                            .stdout)
        self.assertEqual([m["stateStr"] for m in status["members"]],
                         ["PRIMARY", "SECONDARY", "SECONDARY"])
        pids = [kit.lock_pid(m["dbpath"]) for m in state["members"]]
        down = kit.run([kit.tool("mongo-cluster"), "down", "--dir", directory])
        self.assertEqual(down.returncode, 0, down.stdout)
        self.assertEqual(sorted(json.loads(down.stdout)["stopped"]), sorted(pids))
        self.assertFalse(any(kit.alive(p) for p in pids))


class ReplicaSetTest(kit.KitTestCase):
    def setUp(self):
        super().setUp()
        self.rs = self.cluster(ip_base=35, delays={2: 2}, arbiters=0)
        self.primary = member_client(self, self.rs, 0)

    def test_status_config_and_hello_shapes(self):
        status = status_of(self.primary)
        self.assertEqual(status["set"], "rs0")
        self.assertEqual(status["myState"], 1)
        self.assertIsInstance(status["term"], Int64)
        for m in status["members"]:
            self.assertEqual((type(m["_id"]), type(m["state"]), type(m["health"])),
                             (int, int, float))
            self.assertIsInstance(m["optime"]["ts"], Timestamp)
        self.assertEqual([m["stateStr"] for m in status["members"]],
                         ["PRIMARY", "SECONDARY", "SECONDARY"])
        self.assertIn("lastCommittedOpTime", status["optimes"])
        config = self.primary.admin.command("replSetGetConfig")["config"]
        delayed = config["members"][2]
        self.assertEqual((delayed["slaveDelay"], delayed["priority"], delayed["votes"]),
                         (2, 0.0, 1))
        self.assertIsInstance(delayed["slaveDelay"], Int64)
        hello = member_client(self, self.rs, 1).admin.command("isMaster")
        self.assertEqual((hello["setName"], hello["secondary"], hello["ismaster"]),
                         ("rs0", True, False))
        self.assertEqual(hello["primary"], self.rs.state["members"][0]["host"])
        self.assertEqual(hello["passives"], [self.rs.state["members"][2]["host"]])

    def test_writes_replicate_and_the_delayed_member_lags(self):
        self.primary.shop.items.insert_many([{"_id": i} for i in range(10)])
        self.primary.shop.items.create_index("n")
        target = applied(self.primary)
        secondary = member_client(self, self.rs, 1)
        delayed = member_client(self, self.rs, 2)
        kit.wait_for(lambda: secondary.shop.items.count_documents({}) == 10, what="replication")
        kit.wait_for(lambda: "n_1" in secondary.shop.items.index_information(),
                     what="index replication")
        self.assertEqual(delayed.shop.items.count_documents({}), 0, "still within its delay")
        lag = {m["_id"]: m["optime"]["ts"] for m in status_of(self.primary)["members"]}
        self.assertLess(lag[2], target)
        kit.wait_for(lambda: delayed.shop.items.count_documents({}) == 10, timeout=10,
                     what="delayed apply")
        with self.assertRaises(NotMasterError) as ctx:
            secondary.shop.items.insert_one({"_id": "x"})
        self.assertEqual(ctx.exception.details["code"], 10107)

    def test_locked_secondary_receives_nothing_until_unlocked(self):
        secondary = member_client(self, self.rs, 1)
        self.primary.db.c.insert_one({"_id": "before"})
        kit.wait_for(lambda: secondary.db.c.count_documents({}) == 1, what="replication")
        self.assertEqual(secondary.admin.command("fsync", lock=True)["lockCount"], 1)
        self.assertEqual(secondary.admin.command("fsync", lock=True)["lockCount"], 2)
        pinned = applied(secondary)
        files = {f: os.path.getsize(os.path.join(r, f))
                 for r, _, fs in os.walk(self.rs.state["members"][1]["dbpath"]) for f in fs}
        self.primary.db.c.insert_many([{"_id": i} for i in range(5)])
        # The majority point moves on (the primary and the delayed member)...
        kit.wait_for(lambda: status_of(self.primary)["optimes"]["lastCommittedOpTime"]["ts"] >
                     pinned, what="majority point")
        self.assertEqual(secondary.db.c.count_documents({}), 1)
        self.assertEqual(applied(secondary), pinned)
        # ...but the locked member reports no more than it holds itself.
        self.assertEqual(status_of(secondary)["optimes"]["lastCommittedOpTime"]["ts"], pinned)
        after = {f: os.path.getsize(os.path.join(r, f))
                 for r, _, fs in os.walk(self.rs.state["members"][1]["dbpath"]) for f in fs}
        self.assertEqual(after, files, "a locked member writes nothing to disk")
        secondary.admin.command("fsyncUnlock")
        time.sleep(0.5)
        self.assertEqual(secondary.db.c.count_documents({}), 1, "one lock is still held")
        secondary.admin.command("fsyncUnlock")
        kit.wait_for(lambda: secondary.db.c.count_documents({}) == 6, what="catch-up")

    def test_primary_is_re_elected_and_the_old_one_takes_over_after_catching_up(self):
        self.primary.db.c.insert_one({"_id": 1})
        self.rs.stop_member(0)
        second = member_client(self, self.rs, 1)
        kit.wait_for(lambda: second.admin.command("isMaster")["ismaster"], what="election")
        second.db.c.insert_one({"_id": 2})
        self.rs.start_member(0)
        first = member_client(self, self.rs, 0)
        kit.wait_for(lambda: first.admin.command("isMaster").get("ismaster"), timeout=20,
                     what="priority takeover")
        self.assertEqual(sorted(d["_id"] for d in first.db.c.find()), [1, 2])
        self.assertGreater(status_of(first)["term"], 1)

    def add_oplog_entry_while_stopped(self, index, entry):
        """Restarts a member stand-alone on its data and appends to its oplog,
        as a primary that wrote an entry nobody fetched would hold it."""
        self.rs.stop_member(index)
        m = self.rs.state["members"][index]
        port = kit.free_port(m["ip"])
        proc = kit.run([kit.tool("mongod"), "--dbpath", m["dbpath"], "--port", str(port),
                        "--bind_ip", m["ip"], "--logpath", m["logpath"], "--logappend", "--fork"])
        self.assertEqual(proc.returncode, 0, proc.stdout)
        alone = self.client(m["ip"], port)
        last = alone.local.oplog.rs.find_one(sort=[("$natural", -1)])
        entry.update({"ts": Timestamp(last["ts"].time + 100, 1), "t": last["t"], "v": Int64(2),
                      "wall": last["wall"]})
        alone.local.oplog.rs.insert_one(entry)
        alone.close()
        self.stop_mongod(m["dbpath"])
        self.rs.start_member(index)
        return member_client(self, self.rs, index)

    def test_member_with_extra_entries_rejoins_only_when_they_are_no_ops(self):
        member = self.add_oplog_entry_while_stopped(1, {"op": "n", "ns": "", "o": {"msg": "x"}})
        self.primary.db.c.insert_one({"_id": "after"})
        kit.wait_for(lambda: status_of(member)["myState"] == 2 and
                     member.db.c.count_documents({}) == 1, what="rejoin")
        member = self.add_oplog_entry_while_stopped(
            1, {"op": "i", "ns": "db.c", "o": {"_id": "lost"}})
        kit.wait_for(lambda: status_of(member)["myState"] == 3, what="RECOVERING")


class OplogRolloverTest(kit.KitTestCase):
    def test_small_oplog_rolls_over_and_a_stale_member_recovers_no_more(self):
        rs = self.cluster(ip_base=40, oplog_size_mb=0.02)
        primary = member_client(self, rs, 0)
        oldest = lambda c: c.local.oplog.rs.find_one(sort=[("$natural", 1)])["ts"]  # noqa: E731
        first = oldest(primary)
        rs.stop_member(2)
        secondary = member_client(self, rs, 1)
        for batch in range(30):  # small batches: the live secondary keeps up
            primary.db.c.insert_many([{"_id": batch * 10 + i, "pad": "x" * 200}
                                      for i in range(10)])
            kit.wait_for(lambda: secondary.db.c.count_documents({}) == batch * 10 + 10,
                         what="replication")
        self.assertGreater(oldest(primary), first)
        self.assertGreater(oldest(secondary), first)
        rs.start_member(2)
        stale = member_client(self, rs, 2)
        kit.wait_for(lambda: status_of(stale)["myState"] == 3, what="RECOVERING")
        with self.assertRaises(NotMasterError) as ctx:
            stale.db.c.count_documents({})
        self.assertEqual(ctx.exception.details["code"], 13436)


class RecoveryFlowTest(kit.KitTestCase):
    """The agent's member recovery: initiate a one-member set, then force a
    configuration with all members."""

    def test_initiate_one_member_then_forced_reconfig(self):
        ips = ["127.0.0.45", "127.0.0.46"]
        ports = [kit.free_port(ip) for ip in ips]
        for i, ip in enumerate(ips):
            self.start_mongod(name="m%d" % i, ip=ip, port=ports[i], extra=["--replSet", "dest"])
        first = self.client(ips[0], ports[0])
        hosts = ["%s:%d" % (ip, port) for ip, port in zip(ips, ports)]
        reply = first.admin.command(json.loads(
            '{"replSetInitiate": {"_id":"dest","members":[{"_id":0,"host":"%s"}]}}' % hosts[0]))
        self.assertEqual(reply["ok"], 1.0)
        kit.wait_for(lambda: first.admin.command("isMaster")["ismaster"], what="primary")
        first.app.c.insert_one({"_id": 1})
        members = '{"_id":0,"host":"%s",  "votes":1, "priority":999},' \
                  '{"_id":1,"host":"%s", "votes":0, "priority":0}' % tuple(hosts)
        reply = first.admin.command(json.loads(
            '{"replSetReconfig": {"_id":"dest","version":1,"members":[%s], "protocolVersion": 1},'
            ' "force":true}' % members))
        self.assertEqual(reply["ok"], 1.0)
        config = first.admin.command("replSetGetConfig")["config"]
        self.assertGreater(config["version"], 1)
        self.assertEqual([m["votes"] for m in config["members"]], [1, 0])
        second = self.client(ips[1], ports[1], readPreference="secondaryPreferred")
        kit.wait_for(lambda: second.admin.command("isMaster").get("secondary"), what="join")
        kit.wait_for(lambda: second.app.c.count_documents({}) == 1, what="initial sync")
        with self.assertRaises(OperationFailure) as ctx:
            first.admin.command("replSetReconfig", config)
        self.assertEqual(ctx.exception.code, 103)


class SecureClusterTest(kit.KitTestCase):
    def test_user_key_file_and_tls(self):
        rs = self.cluster(ip_base=50, members=2, arbiters=1, user="admin", password="Pw-1",
                          tls=True)
        tls = rs.state["tls"]
        m = rs.state["members"][0]
        good = self.client(m["ip"], m["port"], username="admin", password="Pw-1", tls=True,
                           tlsCAFile=tls["caFile"], tlsCertificateKeyFile=tls["clientPem"])
        good.db.c.insert_one({"a": 1})
        states = [x["state"] for x in status_of(good)["members"]]
        self.assertEqual(states, [1, 2, 7])
        anonymous = self.client(m["ip"], m["port"], tls=True, tlsCAFile=tls["caFile"],
                                tlsCertificateKeyFile=tls["clientPem"])
        with self.assertRaises(OperationFailure) as ctx:
            anonymous.admin.command("replSetGetStatus")
        self.assertEqual(ctx.exception.code, 13)
        self.assertEqual(oct(os.stat(rs.state["auth"]["keyFile"]).st_mode & 0o777), "0o600")
        for member in rs.state["members"]:
            with open("/proc/%d/cmdline" % kit.lock_pid(member["dbpath"]), "rb") as f:
                self.assertNotIn(b"Pw-1", f.read())


if __name__ == "__main__":
    unittest.main()
