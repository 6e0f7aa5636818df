"""Sharded clusters for tests and demos: a config-server replica set, shard
replica sets and routers, each server its own process on its own 127.0.0.x
address, all under one directory.

Addresses are handed out in order from ip_base: the config servers, then
the members of shard 1, shard 2, ..., then the routers. The sets start in
parallel; the routers start once the config servers have a primary, and
the first router adds every shard (addShard), as an administrator would.
With a user, every server shares one key file and the user exists on the
config servers (the cluster's users) and on each shard (for direct
maintenance connections), as MongoDB recommends.
"""
import os
import threading

from . import procs
from .certs import make_certificates
from .client import Client
from .cluster import (Cluster, ClusterError, free_port, load_state, make_key_file, member_pids,
                      save_state, start_forked)

CONFIG_SET = "cfg"
SHARD_PREFIX = "sh"


class ShardedCluster:
    def __init__(self, directory, shards=2, members=3, config_members=1, routers=1, ip_base=2,
                 user=None, password=None, tls=False, oplog_size_mb=None, tool_dir=None):
        self.dir = os.path.abspath(directory)
        self.shards = shards
        self.members = members
        self.config_members = config_members
        self.routers = routers
        self.ip_base = ip_base
        self.user = user
        self.password = password
        self.tls = tls
        self.oplog_size_mb = oplog_size_mb
        self.tool_dir = tool_dir
        self.state = None
        self._sets = []

    # ---- up -----------------------------------------------------------------
    def _set(self, name, members, ip_base, role, key_file, tls_files):
        return Cluster(os.path.join(self.dir, name), members=members, set_name=name,
                       ip_base=ip_base, cluster_role=role, user=self.user,
                       password=self.password, tls=self.tls, tls_files=tls_files,
                       oplog_size_mb=self.oplog_size_mb, tool_dir=self.tool_dir,
                       key_file=key_file)

    def up(self):
        """Starts the cluster and returns its description (also in cluster.json)."""
        if self.shards < 1 or self.members < 1 or self.config_members < 1 or self.routers < 1:
            raise ClusterError("a sharded cluster needs at least one shard, member, config "
                               "server and router")
        os.makedirs(self.dir, exist_ok=True)
        total = self.config_members + self.shards * self.members + self.routers
        if self.ip_base < 1 or self.ip_base + total > 255:
            raise ClusterError("%d servers do not fit in 127.0.0.x from %d" % (total, self.ip_base))
        key_file = make_key_file(os.path.join(self.dir, "keyfile")) if self.user else None
        tls_files = make_certificates(
            os.path.join(self.dir, "certs"),
            ips=["127.0.0.%d" % (self.ip_base + i) for i in range(total)]) if self.tls else None
        self._sets = [self._set(CONFIG_SET, self.config_members, self.ip_base, "configsvr",
                                key_file, tls_files)]
        base = self.ip_base + self.config_members
        for i in range(self.shards):
            self._sets.append(self._set("%s%d" % (SHARD_PREFIX, i + 1), self.members,
                                        base + i * self.members, "shardsvr", key_file, tls_files))
        self.state = {"kind": "sharded", "dir": self.dir, "toolDir": None, "configdb": None,
                      "configServers": None, "shards": [], "routers": [], "router": None,
                      "tls": tls_files,
                      "auth": {"user": self.user, "keyFile": key_file, "source": "admin"}
                      if self.user else None}
        try:
            self._start_sets()
            config = self._sets[0].state
            self.state["toolDir"] = config["toolDir"]
            self.state["configServers"] = config
            self.state["shards"] = [s.state for s in self._sets[1:]]
            self.state["configdb"] = "%s/%s" % (CONFIG_SET, ",".join(
                m["host"] for m in config["members"]))
            self._start_routers(base + self.shards * self.members, key_file, tls_files)
            self._add_shards()
        except BaseException:
            self.down()
            raise
        self._save()
        return self.state

    def _start_sets(self):
        errors = []

        def start(rs):
            try:
                rs.up()
            except BaseException as exc:  # reported below, with every set's outcome
                errors.append("%s: %s" % (rs.set_name, exc))

        threads = [threading.Thread(target=start, args=(rs,)) for rs in self._sets]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            raise ClusterError("replica sets failed to start: " + "; ".join(errors))

    def _router_args(self, router, key_file, tls_files):
        args = [os.path.join(self.state["toolDir"], "mongos"), "--configdb",
                self.state["configdb"], "--port", str(router["port"]), "--bind_ip", router["ip"],
                "--logpath", router["logpath"], "--logappend", "--fork"]
        if key_file:
            args += ["--keyFile", key_file]
        if tls_files:
            args += ["--tlsMode", "requireTLS", "--tlsCertificateKeyFile",
                     tls_files["serverPem"], "--tlsCAFile", tls_files["caFile"]]
        return args

    def _start_routers(self, ip_first, key_file, tls_files):
        routers = []
        for i in range(self.routers):
            ip = "127.0.0.%d" % (ip_first + i)
            port = free_port(ip)
            router = {"host": "%s:%d" % (ip, port), "ip": ip, "port": port,
                      "logpath": os.path.join(self.dir, "router%d.log" % i), "pid": None}
            router["argv"] = self._router_args(router, key_file, tls_files)
            routers.append(router)
        self.state["routers"] = routers
        self.state["router"] = routers[0]["host"]
        failures = start_forked(routers)
        self._save()
        if failures:
            raise ClusterError("routers failed to start: " + "; ".join(failures))

    def router_client(self, index=0, timeout=30.0):
        """A client of a router, signed in as the cluster's user if any."""
        ctx = self._sets[0].client_context() if self._sets else None
        creds = (self.user, self.password, "admin", "SCRAM-SHA-256") if self.user else None
        return Client.for_address(self.state["routers"][index]["host"], ssl_context=ctx,
                                  timeout=timeout, credentials=creds)

    def _add_shards(self):
        client = self.router_client()
        try:
            for shard in self.state["shards"]:
                seeds = ",".join(m["host"] for m in shard["members"])
                client.command("admin", {"addShard": "%s/%s" % (shard["setName"], seeds)})
        finally:
            client.close()

    def _save(self):
        save_state(self.dir, self.state)

    # ---- down ---------------------------------------------------------------------
    def _router_pids(self):
        pids = []
        for router in self.state.get("routers") or []:
            pid = router.get("pid")
            if pid and procs.alive(pid) and procs.runs_with(pid, router["logpath"]):
                pids.append(pid)
        return pids

    def down(self):
        """Stops the routers, then every member; returns once all are gone."""
        if self.state is None:
            self.state = load_state(self.dir)
        if not self.state.get("configServers") and self._sets:
            self.state["configServers"] = self._sets[0].state
            self.state["shards"] = [s.state for s in self._sets[1:]]
        routers = self._router_pids()
        procs.stop(routers)
        members = [pid for rs in [self.state.get("configServers")] + list(
            self.state.get("shards") or []) for pid in member_pids(rs)]
        procs.stop(members)
        return routers + members

    def __enter__(self):
        self.up()
        return self

    def __exit__(self, *exc):
        self.down()
