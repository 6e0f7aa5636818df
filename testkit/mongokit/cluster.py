"""mongo-cluster: starts, reports and stops replica sets and sharded
clusters of separate mongod (and mongos) processes for tests and demos.

    mongo-cluster up --dir D [--members 3] [--arbiters 0] [--set-name rs0]
                     [--priority ID=P] [--votes ID=V] [--hidden ID] [--delay ID=SECS]
                     [--oplog-size-mb MB] [--user NAME --password-file FILE]
                     [--tls] [--tls-allow-no-client-cert] [--ip-base N]
                     [--configsvr | --shardsvr] [--tool-dir DIR]
    mongo-cluster up --dir D --shards N [--members 3] [--config-members 1] [--routers 1]
                     [--oplog-size-mb MB] [--user NAME --password-file FILE] [--tls]
                     [--ip-base N] [--tool-dir DIR]
    mongo-cluster status --dir D
    mongo-cluster down --dir D
    mongo-cluster stop-member|start-member --dir D --member ID [--set NAME]
    mongo-cluster certs --dir D [--ip IP ...] [--host NAME ...]
    mongo-cluster tooldir --dir D [--version V] [--alias NAME=IP ...]

`up` gives each server its own 127.0.0.x address (from --ip-base, default 2)
and a free port, waits until every set has a primary and caught-up
secondaries (and, with --shards, until the routers run and know every
shard), writes D/cluster.json and prints it. `down` stops every server
(SIGTERM, then SIGKILL after a grace period) and waits until they are gone.
See sharded.py for the layout of a sharded cluster.
"""
import argparse
import json
import os
import secrets
import socket
import subprocess
import sys
import time

from . import procs
from .certs import make_certificates
from .client import Client, ConnectionFailure
from .errors import CommandError
from .tlsconfig import ssl

STATE_FILE = "cluster.json"
BIN_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bin")
READY_TIMEOUT = 60.0


class ClusterError(Exception):
    pass


def free_port(ip):
    with socket.socket() as s:
        s.bind((ip, 0))
        return s.getsockname()[1]


def _pairs(values, kind):
    out = {}
    for text in values or []:
        key, sep, value = text.partition("=")
        if not sep:
            raise ClusterError("expected ID=VALUE, got %r" % text)
        out[int(key)] = kind(value)
    return out


class Cluster:
    """A replica set of separate mongod processes under one directory."""

    def __init__(self, directory, members=3, arbiters=0, set_name="rs0", priorities=None,
                 votes=None, hidden=(), delays=None, oplog_size_mb=None, user=None,
                 password=None, tls=False, tls_allow_no_client_cert=False, ip_base=2,
                 cluster_role=None, tool_dir=None, extra_args=(), key_file=None,
                 tls_files=None):
        """key_file and tls_files: a key file and certificates (as
        make_certificates returns them) shared with other sets of a
        cluster; by default each set makes its own."""
        self.dir = os.path.abspath(directory)
        self.members = members
        self.arbiters = arbiters
        self.set_name = set_name
        self.priorities = priorities or {}
        self.votes = votes or {}
        self.hidden = set(hidden)
        self.delays = delays or {}
        self.oplog_size_mb = oplog_size_mb
        self.user = user
        self.password = password
        self.tls = tls
        self.tls_allow_no_client_cert = tls_allow_no_client_cert
        self.ip_base = ip_base
        self.cluster_role = cluster_role
        self.tool_dir = os.path.abspath(tool_dir or BIN_DIR)
        self.extra_args = list(extra_args)
        self.key_file = key_file
        self.tls_files = tls_files
        self.state = None
        self._user_created = False

    # ---- helpers --------------------------------------------------------
    def _tls_files(self):
        return (self.state or {}).get("tls")

    def client_context(self):
        files = self._tls_files()
        if not files:
            return None
        ctx = ssl.create_default_context(cafile=files["caFile"])
        ctx.load_cert_chain(files["clientPem"])
        return ctx

    def client(self, host, authenticate=True, timeout=5.0):
        """A client of one member; with auth it signs in as the set's user,
        or with the members' key file when no password is at hand."""
        creds = None
        key_file = ((self.state or {}).get("auth") or {}).get("keyFile")
        if authenticate and self.user and self.password and self._user_created:
            creds = (self.user, self.password, "admin", "SCRAM-SHA-256")
        elif authenticate and key_file:
            with open(key_file) as f:
                creds = ("__system", "".join(f.read().split()), "local", "SCRAM-SHA-256")
        return Client.for_address(host, ssl_context=self.client_context(), timeout=timeout,
                                  credentials=creds)

    def _member_args(self, m, key_file):
        args = [os.path.join(self.tool_dir, "mongod"), "--dbpath", m["dbpath"],
                "--port", str(m["port"]), "--bind_ip", m["ip"], "--replSet", self.set_name,
                "--logpath", m["logpath"], "--logappend", "--fork"]
        if self.oplog_size_mb:
            args += ["--oplogSize", str(self.oplog_size_mb)]
        if key_file:
            args += ["--keyFile", key_file]
        if self.cluster_role:
            args.append("--" + self.cluster_role)
        files = self._tls_files()
        if files:
            args += ["--tlsMode", "requireTLS", "--tlsCertificateKeyFile", files["serverPem"],
                     "--tlsCAFile", files["caFile"]]
            if self.tls_allow_no_client_cert:
                args.append("--tlsAllowConnectionsWithoutCertificates")
        return args + self.extra_args

    def _save(self):
        save_state(self.dir, self.state)

    # ---- up -----------------------------------------------------------------
    def up(self):
        """Starts the set and returns its description (also in cluster.json)."""
        os.makedirs(self.dir, exist_ok=True)
        total = self.members + self.arbiters
        members = []
        for i in range(total):
            ip = "127.0.0.%d" % (self.ip_base + i)
            port = free_port(ip)
            dbpath = os.path.join(self.dir, "member%d" % i)
            os.makedirs(dbpath, exist_ok=True)
            arbiter = i >= self.members
            member = {"_id": i, "host": "%s:%d" % (ip, port), "ip": ip, "port": port,
                      "dbpath": dbpath, "logpath": os.path.join(self.dir, "member%d.log" % i),
                      "arbiterOnly": arbiter,
                      "priority": 0.0 if arbiter or i in self.hidden or i in self.delays
                      else float(self.priorities.get(i, 1.0)),
                      "votes": int(self.votes.get(i, 1)), "hidden": i in self.hidden,
                      "slaveDelay": int(self.delays.get(i, 0)), "pid": None}
            if member["votes"] == 0:
                member["priority"] = 0.0
            members.append(member)
        self.state = {"setName": self.set_name, "dir": self.dir, "toolDir": self.tool_dir,
                      "members": members, "primary": None, "tls": None, "auth": None}
        if self.tls:
            self.state["tls"] = self.tls_files or make_certificates(
                os.path.join(self.dir, "certs"), ips=[m["ip"] for m in members])
        key_file = None
        if self.user:
            if not self.password:
                raise ClusterError("a user needs a password (--password-file)")
            key_file = self.key_file or make_key_file(os.path.join(self.dir, "keyfile"))
            self.state["auth"] = {"user": self.user, "keyFile": key_file, "source": "admin"}
        self._save()
        try:
            self._start_members(members, key_file)
            self._initiate(members)
            self.wait_ready()
            if self.user:
                self._create_user()
                self.wait_ready()
        except BaseException:
            self.down()
            raise
        self._save()
        return self.state

    def _start_members(self, members, key_file):
        for m in members:
            m["argv"] = self._member_args(m, key_file)
        failures = start_forked(members)
        self._save()
        if failures:
            raise ClusterError("members failed to start: " + "; ".join(failures))

    def _initiate(self, members):
        config = {"_id": self.set_name, "version": 1, "members": []}
        if self.cluster_role == "configsvr":
            config["configsvr"] = True
        for m in members:
            doc = {"_id": m["_id"], "host": m["host"], "priority": m["priority"],
                   "votes": m["votes"]}
            if m["arbiterOnly"]:
                doc["arbiterOnly"] = True
            if m["hidden"]:
                doc["hidden"] = True
            if m["slaveDelay"]:
                doc["slaveDelay"] = m["slaveDelay"]
            config["members"].append(doc)
        first = next(m for m in members if not m["arbiterOnly"])
        client = self.client(first["host"], authenticate=False)
        try:
            client.command("admin", {"replSetInitiate": config}, timeout=30)
        finally:
            client.close()

    def _create_user(self):
        client = self.client(self.state["primary"], authenticate=False)
        try:
            client.command("admin", {"createUser": self.user, "pwd": self.password,
                                     "roles": [{"role": "root", "db": "admin"}]})
        finally:
            client.close()
        self._user_created = True

    def status(self):
        """The primary's replSetGetStatus, or the first member that answers."""
        last_error = None
        for m in self.state["members"]:
            client = self.client(m["host"], timeout=2.0)
            try:
                return client.command("admin", {"replSetGetStatus": 1})
            except (ConnectionFailure, CommandError) as exc:
                last_error = exc
            finally:
                client.close()
        raise ClusterError("no member answers: %s" % last_error)

    def wait_ready(self, timeout=READY_TIMEOUT):
        """Waits for a primary and for every data-bearing, undelayed member to
        reach the primary's optime."""
        deadline = time.monotonic() + timeout
        last = None
        delayed = {m["host"] for m in self.state["members"] if m["slaveDelay"]}
        while time.monotonic() < deadline:
            try:
                status = self.status()
                members = status["members"]
                primary = next((m for m in members if m["state"] == 1), None)
                if primary is not None:
                    target = primary["optime"]["ts"]
                    ready = all(m["state"] == 7 or (m["state"] == 2 and (
                        m["name"] in delayed or m["optime"]["ts"] >= target))
                        for m in members if m is not primary)
                    if ready:
                        self.state["primary"] = primary["name"]
                        return
                last = [(m["name"], m["stateStr"]) for m in members]
            except (ClusterError, KeyError) as exc:
                last = str(exc)
            time.sleep(0.1)
        raise ClusterError("replica set not ready after %.0f s: %s" % (timeout, last))

    # ---- single members ----------------------------------------------------------
    def stop_member(self, index):
        """Stops one member (SIGTERM, as an orderly shutdown) and waits."""
        m = self.state["members"][index]
        pid = procs.lock_pid(m["dbpath"])
        if pid and procs.is_mongod_of(pid, m["dbpath"]):
            procs.stop([pid])

    def start_member(self, index):
        """Starts a stopped member again with its original options."""
        m = self.state["members"][index]
        proc = subprocess.run(m["argv"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
        if proc.returncode != 0:
            raise ClusterError("member %s failed to start: %s" % (m["host"], proc.stdout.strip()))

    # ---- down ------------------------------------------------------------------
    def down(self):
        """Stops every member and waits until their processes are gone."""
        if self.state is None:
            self.state = load_state(self.dir)
        pids = member_pids(self.state)
        procs.stop(pids)
        return pids

    def __enter__(self):
        self.up()
        return self

    def __exit__(self, *exc):
        self.down()


def member_pids(state):
    """The pids of a replica set's running members (state as up() makes it)."""
    pids = []
    for m in (state or {}).get("members") or []:
        pid = procs.lock_pid(m["dbpath"]) or m.get("pid")
        if pid and procs.is_mongod_of(pid, m["dbpath"]):
            pids.append(pid)
    return pids


def start_forked(servers):
    """Starts servers (dicts with "argv" of a --fork command line, and
    "host") at once and waits for their parents; records each "pid".
    Returns the failures, one text per server that did not start."""
    started = [(server, subprocess.Popen(server["argv"], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True))
               for server in servers]
    failures = []
    for server, proc in started:
        out, _ = proc.communicate()
        for line in out.splitlines():
            if line.startswith("forked process:"):
                server["pid"] = int(line.split(":")[1])
        if proc.returncode != 0:
            failures.append("%s: %s" % (server["host"], out.strip()))
    return failures


def make_key_file(path):
    """A new members' key file (mode 0600); returns its path."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(secrets.token_urlsafe(48) + "\n")
    return path


def save_state(directory, state):
    """Writes cluster.json (whole or not at all)."""
    path = os.path.join(directory, STATE_FILE)
    with open(path + ".tmp", "w") as f:
        json.dump(state, f, indent=2)
    os.replace(path + ".tmp", path)


def load_state(directory):
    path = os.path.join(os.path.abspath(directory), STATE_FILE)
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError) as exc:
        raise ClusterError("no cluster in %s: %s" % (directory, exc))


def make_tool_dir(directory, version=None, aliases=None):
    """A tool directory of links to the kit's programs with its own
    testkit.json (imitated version, host aliases)."""
    os.makedirs(directory, exist_ok=True)
    for name in sorted(os.listdir(BIN_DIR)):
        link = os.path.join(directory, name)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.join(BIN_DIR, name), link)
    settings = {}
    if version:
        settings["version"] = version
    if aliases:
        settings["hosts"] = aliases
    with open(os.path.join(directory, "testkit.json"), "w") as f:
        json.dump(settings, f, indent=2)
    return directory


def _parser():
    p = argparse.ArgumentParser(prog="mongo-cluster", description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="action", required=True)
    up = sub.add_parser("up")
    up.add_argument("--dir", required=True)
    up.add_argument("--members", type=int, default=3)
    up.add_argument("--arbiters", type=int, default=0)
    up.add_argument("--set-name", default="rs0")
    up.add_argument("--priority", action="append", default=[])
    up.add_argument("--votes", action="append", default=[])
    up.add_argument("--hidden", action="append", type=int, default=[])
    up.add_argument("--delay", action="append", default=[])
    up.add_argument("--oplog-size-mb", type=float)
    up.add_argument("--user")
    up.add_argument("--password-file")
    up.add_argument("--tls", action="store_true")
    up.add_argument("--tls-allow-no-client-cert", action="store_true")
    up.add_argument("--ip-base", type=int, default=2)
    role = up.add_mutually_exclusive_group()
    role.add_argument("--configsvr", action="store_const", const="configsvr", dest="role")
    role.add_argument("--shardsvr", action="store_const", const="shardsvr", dest="role")
    up.add_argument("--tool-dir")
    up.add_argument("--shards", type=int, help="start a sharded cluster of this many shards")
    up.add_argument("--config-members", type=int, default=1)
    up.add_argument("--routers", type=int, default=1)
    for name in ("status", "down"):
        sub.add_parser(name).add_argument("--dir", required=True)
    for name in ("stop-member", "start-member"):
        member = sub.add_parser(name)
        member.add_argument("--dir", required=True)
        member.add_argument("--member", type=int, required=True)
        member.add_argument("--set", help="the replica set of a sharded cluster (cfg, sh1, ...)")
    certs = sub.add_parser("certs")
    certs.add_argument("--dir", required=True)
    certs.add_argument("--ip", action="append", default=[])
    certs.add_argument("--host", action="append", default=[])
    tools = sub.add_parser("tooldir")
    tools.add_argument("--dir", required=True)
    tools.add_argument("--version")
    tools.add_argument("--alias", action="append", default=[])
    return p


def _read_password(path):
    with open(path, encoding="utf-8") as f:
        return f.readline().rstrip("\r\n")


_SET_SHAPE_OPTIONS = ("arbiters", "priority", "votes", "hidden", "delay", "role")


def _up(args, tool_dir):
    password = _read_password(args.password_file) if args.password_file else None
    if args.shards is not None:
        from .sharded import ShardedCluster
        if any(getattr(args, o) for o in _SET_SHAPE_OPTIONS) or args.tls_allow_no_client_cert:
            raise ClusterError("the shape options of a single set do not apply to --shards")
        return ShardedCluster(
            args.dir, shards=args.shards, members=args.members,
            config_members=args.config_members, routers=args.routers, ip_base=args.ip_base,
            user=args.user, password=password, tls=args.tls, oplog_size_mb=args.oplog_size_mb,
            tool_dir=tool_dir).up()
    if not 1 <= args.members + args.arbiters <= 50 or args.members < 1:
        raise ClusterError("a set needs at least one data-bearing member")
    return Cluster(
        args.dir, members=args.members, arbiters=args.arbiters, set_name=args.set_name,
        priorities=_pairs(args.priority, float), votes=_pairs(args.votes, int),
        hidden=args.hidden, delays=_pairs(args.delay, int), oplog_size_mb=args.oplog_size_mb,
        user=args.user, password=password, tls=args.tls,
        tls_allow_no_client_cert=args.tls_allow_no_client_cert, ip_base=args.ip_base,
        cluster_role=args.role, tool_dir=tool_dir).up()


def _replica_set(args, state):
    """The Cluster of --dir, or of --set within a sharded cluster."""
    if state.get("kind") == "sharded":
        sets = [state["configServers"]] + state["shards"]
        state = next((rs for rs in sets if rs["setName"] == args.set), None)
        if state is None:
            raise ClusterError("name a replica set with --set: %s"
                               % ", ".join(rs["setName"] for rs in sets))
    cluster = Cluster(state["dir"])
    cluster.state = state
    return cluster


def main(argv):
    args = _parser().parse_args(argv[1:])
    try:
        if args.action == "up":
            # Servers start from the directory this launcher was run from, so
            # a testkit.json there applies to them too.
            tool_dir = args.tool_dir or os.path.dirname(os.path.abspath(argv[0]))
            print(json.dumps(_up(args, tool_dir), indent=2))
        elif args.action in ("status", "down", "stop-member", "start-member"):
            state = load_state(args.dir)
            sharded = state.get("kind") == "sharded"
            if args.action in ("stop-member", "start-member"):
                cluster = _replica_set(args, state)
                if not 0 <= args.member < len(cluster.state["members"]):
                    raise ClusterError("no member %d" % args.member)
                getattr(cluster, args.action.replace("-", "_"))(args.member)
                print(json.dumps(cluster.state["members"][args.member]))
            elif args.action == "down":
                if sharded:
                    from .sharded import ShardedCluster
                    cluster = ShardedCluster(args.dir)
                    cluster.state = state
                else:
                    cluster = _replica_set(args, state)
                print(json.dumps({"stopped": cluster.down()}))
            elif sharded:
                print(json.dumps({"kind": "sharded", "routers": state["routers"], "sets": [
                    _status_summary(_replica_set(argparse.Namespace(set=rs["setName"]), state))
                    for rs in [state["configServers"]] + state["shards"]]}, indent=2))
            else:
                print(json.dumps(_status_summary(_replica_set(args, state)), indent=2))
        elif args.action == "certs":
            print(json.dumps(make_certificates(args.dir, ips=args.ip, hosts=args.host), indent=2))
        elif args.action == "tooldir":
            aliases = dict(a.split("=", 1) for a in args.alias)
            print(make_tool_dir(os.path.abspath(args.dir), args.version, aliases))
        return 0
    except (ClusterError, ConnectionFailure, CommandError, OSError, RuntimeError) as exc:
        print("mongo-cluster: %s" % exc, file=sys.stderr)
        return 1


def _status_summary(cluster):
    status = cluster.status()
    return {"set": status["set"], "members": [
        {"_id": m["_id"], "name": m["name"], "state": m["state"], "stateStr": m["stateStr"],
         "health": m["health"], "optime": str(m.get("optime", {}).get("ts"))}
        for m in status["members"]]}
