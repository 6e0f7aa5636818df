"""Replica-set membership, elections and oplog replication of one member.

Every member heartbeats the others (HEARTBEAT_INTERVAL) carrying its state,
term, applied optime and configuration; a newer configuration spreads this
way. The primary is deterministic: among the members this one can reach
(itself included) and that are electable (priority > 0, not an arbiter,
not fsync-locked, not frozen by a step-down), the highest priority wins,
then the lowest _id. A member takes over only while it sees a majority of
voters, nobody else claims primary, and it has caught up with every member
it can reach; a primary steps down when it loses the majority or when the
better member has caught up with it.

Secondaries pull the oplog from the primary (or the most advanced member)
with a tailable awaitData cursor over the wire protocol, honour their
delay, wait out an fsync lock, and report progress by heartbeat at once.
A member with an empty oplog first copies all data (initial sync).
"""
import datetime
import threading
import time

from bson import Int64, ObjectId
from bson.timestamp import Timestamp

from . import kitconfig, tlsconfig
from .client import Client, ConnectionFailure
from .errors import CommandError
from .logsink import log
from .node import utcnow
from .oplogapply import apply_entry
from .replconfig import ReplConfig

HEARTBEAT_INTERVAL = 0.5
PEER_TIMEOUT = 2.0
NOOP_INTERVAL = 10.0
FETCH_WAIT_MS = 1000

STARTUP, PRIMARY, SECONDARY, RECOVERING, STARTUP2, UNKNOWN, ARBITER, DOWN, ROLLBACK, \
    REMOVED = 0, 1, 2, 3, 5, 6, 7, 8, 9, 10
STATE_STR = {STARTUP: "STARTUP", PRIMARY: "PRIMARY", SECONDARY: "SECONDARY",
             RECOVERING: "RECOVERING", STARTUP2: "STARTUP2", UNKNOWN: "UNKNOWN",
             ARBITER: "ARBITER", DOWN: "(not reachable/healthy)", ROLLBACK: "ROLLBACK",
             REMOVED: "REMOVED"}
NULL_TS = Timestamp(0, 0)
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def optime_doc(ts, term):
    return {"ts": ts, "t": Int64(term)}


class Peer:
    """What this member knows about another member."""

    def __init__(self, member):
        self.member = member
        self.healthy = False
        self.state = DOWN
        self.applied = NULL_TS
        self.applied_term = -1
        self.applied_wall = EPOCH
        self.term = 0
        self.config_version = -1
        self.last_ok = 0.0
        self.last_hb = None
        self.last_hb_recv = None
        self.up_since = None
        self.ping_ms = 0
        self.message = ""
        self.sync_source = ""
        self.client = None

    def reset_client(self):
        if self.client:
            self.client.close()
        self.client = None


class ReplCoordinator:
    def __init__(self, node, set_name):
        self.node = node
        self.set_name = set_name
        self.config = None
        self.self_member = None
        self.state = STARTUP
        self.term = 0
        self.peers = {}
        self.applied = NULL_TS
        self.applied_term = -1
        self.applied_wall = EPOCH
        self.commit_point = (NULL_TS, -1)
        self.election_ts = None
        self.election_date = None
        self.sync_source = None
        self.info_message = ""
        self.stepdown_until = 0.0
        self._dirty = False
        self._wake_hb = threading.Event()
        self._wake_sync = threading.Event()
        self._threads = []
        self._client_tls = tlsconfig.member_client_context(node.options)
        self._last_write = time.monotonic()
        self._started = time.monotonic()

    # ---- persistence ------------------------------------------------------
    def load(self):
        """Reads the stored configuration, term and last applied optime."""
        storage = self.node.storage
        coll = storage.collection("local", "system.replset")
        doc = coll.values()[0] if coll and coll.docs else None
        election = storage.collection("local", "replset.election")
        if election and election.docs:
            self.term = int(election.values()[0].get("term", 0))
        oplog = self.node.oplog()
        if oplog and oplog.docs:
            last = next(reversed(oplog.docs.values()))
            self._set_applied(last)
        if doc:
            try:
                self.config = ReplConfig(doc)
            except CommandError as exc:
                log.log("REPL", "stored replica set config is invalid", severity="W",
                        error=exc.errmsg)
                self.config = None

    def _persist(self):
        storage = self.node.storage
        if storage.frozen:
            self._dirty = True  # written once the fsync lock is released
            return
        self._dirty = False
        if self.config is not None:
            coll = storage.create_collection("local", "system.replset", {}, must_be_new=False)
            stale = [d.get("_id") for d in coll.values() if d.get("_id") != self.config.name]
            for _id in stale:
                coll.delete(_id)
            coll.put(self.config.to_doc())
        election = storage.create_collection("local", "replset.election", {}, must_be_new=False)
        election.put({"_id": "election", "term": Int64(self.term),
                      "candidateIndex": Int64(self.self_member.id if self.self_member else -1)})

    def on_unfrozen(self):
        if self._dirty:
            self._persist()
        self._wake_sync.set()

    # ---- identity -----------------------------------------------------------
    def has_config(self):
        return self.config is not None and self.self_member is not None

    def _find_self_fast(self, config):
        node = self.node
        for m in config.members:
            host, _, port = m.host.rpartition(":")
            if int(port) != node.port:
                continue
            try:
                ip = kitconfig.resolve(host)
            except OSError:
                continue
            if ip in node.bind_ips or ("0.0.0.0" in node.bind_ips and
                                       (ip.startswith("127.") or ip in node.local_ips())):
                return m
        return None

    def find_self(self, config):
        """The member entry naming this process; may ask members over the
        network (_isSelf), so it must run without the engine lock."""
        member = self._find_self_fast(config)
        if member:
            return member
        for m in config.members:
            client = Client.for_address(m.host, ssl_context=self._client_tls, timeout=1.0)
            try:
                reply = client.command("admin", {"_isSelf": 1})
                if reply.get("id") == self.node.instance_id:
                    return m
            except (ConnectionFailure, CommandError, OSError):
                continue
            finally:
                client.close()
        return None

    # ---- configuration changes -------------------------------------------------
    def install_config(self, config, self_member):
        """Adopts a configuration (engine lock held)."""
        old_peers = self.peers
        self.config = config
        self.self_member = self_member
        self.peers = {}
        if self_member is not None:
            for m in config.members:
                if m.id == self_member.id:
                    continue
                peer = old_peers.get(m.id)
                if peer is None or peer.member.host != m.host:
                    peer = Peer(m)
                peer.member = m
                self.peers[m.id] = peer
        if self_member is None:
            self.state = REMOVED
        elif self_member.arbiter:
            self.state = ARBITER
        elif self.state in (STARTUP, REMOVED, ARBITER):
            self.state = SECONDARY if self.applied != NULL_TS else STARTUP2
        self._persist()
        log.log("REPL", "New replica set config in use", config=config.to_doc()["members"],
                version=config.version)
        self._wake_hb.set()
        self._wake_sync.set()
        self.node.cond.notify_all()

    def initiate(self, config, member):
        """replSetInitiate after validation and the quorum check (engine
        lock held); member is this process's entry."""
        node = self.node
        if node.storage.frozen:
            raise CommandError(125, "cannot initiate while fsync-locked", "IllegalOperation")
        self.install_config(config, member)
        if not member.arbiter:
            node.ensure_oplog()
            entry = {"ts": node.next_timestamp(), "t": Int64(self.term), "v": Int64(2),
                     "op": "n", "ns": "", "o": {"msg": "initiating set"}, "wall": utcnow()}
            node.oplog().put(entry)
            self._set_applied(entry)
            self.state = SECONDARY
        self._decide()

    # ---- state queries ---------------------------------------------------------
    def is_writable_primary(self):
        return self.state == PRIMARY

    def is_readable(self):
        return self.state in (PRIMARY, SECONDARY)

    def primary_host(self):
        if self.state == PRIMARY:
            return self.self_member.host
        for peer in self.peers.values():
            if peer.healthy and peer.state == PRIMARY:
                return peer.member.host
        return None

    def _set_applied(self, entry):
        self.applied = entry["ts"]
        self.applied_term = int(entry.get("t", -1))
        wall = entry.get("wall")
        self.applied_wall = wall if isinstance(wall, datetime.datetime) else utcnow()

    def on_local_oplog(self, entry):
        self._set_applied(entry)
        self._last_write = time.monotonic()
        self._advance_commit_point()

    # ---- heartbeats --------------------------------------------------------------
    def heartbeat_request(self):
        return {"replSetHeartbeat": self.set_name,
                "configVersion": self.config.version if self.config else -2,
                "from": self.self_member.host if self.self_member else "",
                "fromId": self.self_member.id if self.self_member else -1,
                "term": Int64(self.term), "state": self.state,
                "appliedOpTime": optime_doc(self.applied, self.applied_term),
                "appliedWallTime": self.applied_wall,
                "commitPoint": optime_doc(*self.commit_point),
                "config": self.config.to_doc() if self.has_config() else None}

    def heartbeat_reply(self):
        reply = {"set": self.set_name, "state": self.state, "term": Int64(self.term),
                 "configVersion": self.config.version if self.config else -2,
                 "appliedOpTime": optime_doc(self.applied, self.applied_term),
                 "appliedWallTime": self.applied_wall,
                 "syncingTo": self.sync_source or "",
                 "commitPoint": optime_doc(*self.commit_point)}
        return reply

    def receive_heartbeat(self, body):
        """Handles a peer's heartbeat (engine lock held). Returns the reply
        and, when the peer has a newer configuration, that configuration."""
        if body.get("replSetHeartbeat") != self.set_name:
            raise CommandError(93, "replica set names do not match, ours: %s; remote node's: %s"
                               % (self.set_name, body.get("replSetHeartbeat")),
                               "InconsistentReplicaSetNames")
        newer = None
        their_cfg = body.get("config")
        if their_cfg and (self.config is None or body.get("configVersion", -2) > self.config.version):
            try:
                newer = ReplConfig(their_cfg, self.set_name)
            except CommandError:
                newer = None
        peer = self.peers.get(body.get("fromId"))
        if peer is not None and peer.member.host == body.get("from"):
            self._update_peer(peer, body)
        reply = self.heartbeat_reply()
        if self.has_config() and body.get("configVersion", -2) < self.config.version:
            reply["config"] = self.config.to_doc()
        return reply, newer

    def _update_peer(self, peer, data):
        now = time.monotonic()
        if not peer.healthy:
            peer.up_since = now
        peer.healthy = True
        peer.last_ok = now
        peer.last_hb_recv = utcnow()
        peer.state = int(data.get("state", UNKNOWN))
        optime = data.get("appliedOpTime") or {}
        if isinstance(optime.get("ts"), Timestamp):
            peer.applied = optime["ts"]
            peer.applied_term = int(optime.get("t", -1))
        wall = data.get("appliedWallTime")
        if isinstance(wall, datetime.datetime):
            peer.applied_wall = wall
        peer.term = int(data.get("term", 0))
        peer.config_version = int(data.get("configVersion", -2))
        peer.sync_source = data.get("syncingTo", "")
        peer.message = ""
        if peer.term > self.term:
            self.term = peer.term
            if self.state == PRIMARY:
                self._step_down("saw a newer term")
        commit = data.get("commitPoint")
        if peer.state == PRIMARY and isinstance(commit, dict) and \
                isinstance(commit.get("ts"), Timestamp):
            self._learn_commit_point(commit["ts"], int(commit.get("t", -1)))
        if self.state == PRIMARY:
            self._advance_commit_point()

    def _heartbeat_loop(self):
        while not self.node.stopping.is_set():
            self._wake_hb.wait(HEARTBEAT_INTERVAL)
            self._wake_hb.clear()
            with self.node.lock:
                if not self.has_config():
                    continue
                request = self.heartbeat_request()
                peers = list(self.peers.values())
            for peer in peers:
                if self.node.stopping.is_set():
                    return
                self._heartbeat_one(peer, request)
            with self.node.lock:
                self._mark_stale_peers()
                self._decide()

    def _heartbeat_one(self, peer, request):
        started = time.monotonic()
        newer = None
        try:
            if peer.client is None:
                peer.client = Client.for_address(
                    peer.member.host, ssl_context=self._client_tls, timeout=1.0,
                    credentials=self._internal_credentials())
            reply = peer.client.command("admin", request)
            with self.node.lock:
                peer.ping_ms = int((time.monotonic() - started) * 1000)
                peer.last_hb = utcnow()
                self._update_peer(peer, reply)
                if reply.get("config"):
                    try:
                        cfg = ReplConfig(reply["config"], self.set_name)
                        if self.config is None or cfg.version > self.config.version:
                            newer = cfg
                    except CommandError:
                        pass
        except (ConnectionFailure, CommandError, OSError) as exc:
            peer.reset_client()
            with self.node.lock:
                peer.last_hb = utcnow()
                peer.message = str(exc.errmsg if isinstance(exc, CommandError) else exc)
                if peer.healthy:
                    log.log("REPL", "Heartbeat failed", target=peer.member.host,
                            error=peer.message)
                peer.healthy = False
                peer.state = DOWN
        if newer is not None:
            self.adopt_config(newer)

    def adopt_config(self, config):
        """Installs a configuration learned from a peer (no lock held)."""
        member = self.find_self(config)
        with self.node.lock:
            if self.config is not None and config.version <= self.config.version:
                return
            self.install_config(config, member)

    def _internal_credentials(self):
        key = self.node.internal_key
        return ("__system", key, "local", "SCRAM-SHA-256") if key is not None else None

    def _mark_stale_peers(self):
        now = time.monotonic()
        for peer in self.peers.values():
            if peer.healthy and now - peer.last_ok > PEER_TIMEOUT:
                peer.healthy = False
                peer.state = DOWN
                peer.message = "no heartbeat for %.1f seconds" % (now - peer.last_ok)

    def wake_heartbeats(self):
        self._wake_hb.set()

    # ---- elections ----------------------------------------------------------------
    def _electable_self(self):
        m = self.self_member
        return (m is not None and m.electable and self.state in (SECONDARY, PRIMARY)
                and self.node.fsync_lock_count == 0 and time.monotonic() >= self.stepdown_until)

    def _best_candidate(self):
        candidates = []
        if self._electable_self():
            candidates.append((self.self_member, self.applied))
        for peer in self.peers.values():
            if peer.healthy and peer.member.electable and peer.state in (SECONDARY, PRIMARY):
                candidates.append((peer.member, peer.applied))
        if not candidates:
            return None
        return min(candidates, key=lambda c: (-c[0].priority, c[0].id))[0]

    def _decide(self):
        """Takes or gives up the primary role (engine lock held)."""
        if not self.has_config() or self.state in (ARBITER, REMOVED, STARTUP2, RECOVERING) \
                or self.node.stopping.is_set():
            return
        cfg = self.config
        reachable_votes = self.self_member.votes + sum(
            p.member.votes for p in self.peers.values() if p.healthy)
        sees_majority = reachable_votes >= cfg.majority
        best = self._best_candidate()
        if self.state == PRIMARY:
            if not sees_majority:
                self._step_down("lost sight of a majority of voters")
            elif best is not None and best.id != self.self_member.id:
                peer = self.peers[best.id]
                if peer.applied >= self.applied:
                    self._step_down("member %s has higher priority and has caught up"
                                    % best.host)
            return
        if not sees_majority or best is None or best.id != self.self_member.id:
            return
        if any(p.healthy and p.state == PRIMARY for p in self.peers.values()):
            return
        newest = max([p.applied for p in self.peers.values()
                      if p.healthy and not p.member.arbiter] + [NULL_TS])
        if self.applied < newest:
            return  # catch up first; the sync thread pulls from the newest member
        self._become_primary()

    def _become_primary(self):
        node = self.node
        self.term = max([self.term] + [p.term for p in self.peers.values()]) + 1
        self.state = PRIMARY
        self.sync_source = None
        self._persist()
        entry = node.log_op("n", "", {"msg": "new primary"})
        self.election_ts = entry["ts"] if entry else self.applied
        self.election_date = utcnow()
        self._advance_commit_point()
        log.log("REPL", "Transition to primary complete; database writes are now permitted",
                term=self.term)
        self._wake_hb.set()
        node.cond.notify_all()

    def _step_down(self, why):
        self.state = SECONDARY
        log.log("REPL", "Stepping down from primary", reason=why)
        self._wake_sync.set()
        self._wake_hb.set()
        self.node.cond.notify_all()

    def step_down(self, seconds):
        if self.state != PRIMARY:
            raise CommandError(10107, "not primary so can't step down", "NotWritablePrimary")
        self.stepdown_until = time.monotonic() + seconds
        self._step_down("replSetStepDown")

    # ---- commit point and write concern ------------------------------------------
    def _advance_commit_point(self):
        if self.state != PRIMARY:
            return
        optimes = [(self.applied, self.applied_term)]
        for peer in self.peers.values():
            if peer.member.votes and not peer.member.arbiter:
                optimes.append((peer.applied, peer.applied_term) if peer.healthy
                               else (NULL_TS, -1))
        voters_with_data = [m for m in self.config.voters if not m.arbiter]
        optimes = optimes[:max(len(voters_with_data), 1)]
        optimes.sort(key=lambda o: o[0], reverse=True)
        need = self.config.write_majority
        if len(optimes) >= need:
            point = optimes[need - 1]
            if point[0] > self.commit_point[0]:
                self.commit_point = point
                self.node.cond.notify_all()

    def _learn_commit_point(self, ts, term):
        # A member never reports a majority point beyond what it has applied
        # itself: a locked or delayed secondary pins it to its own optime.
        point = min((ts, term), (self.applied, self.applied_term), key=lambda o: o[0])
        if point[0] > self.commit_point[0]:
            self.commit_point = point

    def last_committed(self):
        if self.state == PRIMARY:
            return self.commit_point
        return min(self.commit_point, (self.applied, self.applied_term), key=lambda o: o[0])

    def _replicated_count(self, ts):
        count = 1 if self.applied >= ts else 0
        return count + sum(1 for p in self.peers.values()
                           if p.healthy and not p.member.arbiter and p.applied >= ts)

    def await_write_concern(self, write_concern, reply):
        """Waits (releasing the engine lock) until the write concern holds,
        or records a writeConcernError in reply."""
        if not isinstance(write_concern, dict) or self.state != PRIMARY:
            return
        w = write_concern.get("w", 1)
        if w == "majority":
            need = self.config.write_majority
        elif isinstance(w, int) and not isinstance(w, bool):
            need = w
        else:
            return
        if need <= 1:
            return
        target = self.applied
        timeout_ms = write_concern.get("wtimeout", 0) or 60000
        deadline = time.monotonic() + timeout_ms / 1000.0
        while self._replicated_count(target) < need:
            left = deadline - time.monotonic()
            if left <= 0 or self.node.stopping.is_set():
                reply["writeConcernError"] = {"code": 64, "codeName": "WriteConcernFailed",
                                              "errmsg": "waiting for replication timed out",
                                              "errInfo": {"wtimeout": True}}
                return
            self.node.cond.wait(min(left, 0.5))

    # ---- shutdown -------------------------------------------------------------------
    def prepare_shutdown(self, timeout):
        """A primary shuts down without force only once an electable
        secondary has caught up (waits up to timeout seconds)."""
        deadline = time.monotonic() + timeout
        with self.node.lock:
            while self.state == PRIMARY:
                electable = [p for p in self.peers.values() if p.member.electable]
                if not electable:
                    return
                if any(p.healthy and p.applied >= self.applied for p in electable):
                    self.stepdown_until = float("inf")  # never again in this process
                    self._step_down("shutdown")
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    raise CommandError(
                        262, "No electable secondaries caught up as of %s. Please use the "
                        "replSetStepDown command with the argument {force: true} to force node "
                        "to step down." % utcnow().isoformat(), "ExceededTimeLimit")
                self._wake_hb.set()
                self.node.cond.wait(min(left, 0.2))

    # ---- replication ----------------------------------------------------------------
    def _choose_source(self):
        healthy = [p for p in self.peers.values() if p.healthy and not p.member.arbiter]
        primary = next((p for p in healthy if p.state == PRIMARY), None)
        if primary is not None:
            return primary
        ahead = [p for p in healthy if p.state == SECONDARY and p.applied > self.applied]
        return max(ahead, key=lambda p: p.applied) if ahead else None

    def _wait_unlocked(self):
        """Blocks while this member is fsync-locked (engine lock held)."""
        while self.node.fsync_lock_count > 0 and not self.node.stopping.is_set():
            self.node.cond.wait(0.5)

    def _sync_loop(self):
        node = self.node
        while not node.stopping.is_set():
            with node.lock:
                ready = self.has_config() and self.state in (SECONDARY, STARTUP2, RECOVERING)
                source = self._choose_source() if ready else None
                need_initial = ready and self.applied == NULL_TS
                if source is None:
                    self.sync_source = None
            if source is None:
                self._wake_sync.wait(HEARTBEAT_INTERVAL)
                self._wake_sync.clear()
                continue
            client = Client.for_address(source.member.host, ssl_context=self._client_tls,
                                        timeout=5.0, credentials=self._internal_credentials())
            try:
                if need_initial:
                    self._initial_sync(client, source)
                else:
                    self._tail(client, source)
            except (ConnectionFailure, CommandError, OSError) as exc:
                log.log("REPL", "Oplog fetching stopped", source=source.member.host,
                        error=str(exc))
                self._wake_sync.wait(HEARTBEAT_INTERVAL)
                self._wake_sync.clear()
            finally:
                client.close()

    def _tail(self, client, source):
        node = self.node
        with node.lock:
            start = self.applied
            self.sync_source = source.member.host
        reply = client.command("local", {
            "find": "oplog.rs", "filter": {"ts": {"$gte": start}}, "tailable": True,
            "awaitData": True, "$readPreference": {"mode": "secondaryPreferred"}})
        cursor = reply["cursor"]
        batch = cursor["firstBatch"]
        if not batch or batch[0]["ts"] != start:
            self._diverged(client, start, batch[0]["ts"] if batch else None)
            return
        with node.lock:
            if self.state == RECOVERING:
                self.state = SECONDARY
                self.info_message = ""
        batch = batch[1:]
        cursor_id = cursor["id"]
        while not node.stopping.is_set():
            if batch:
                self._apply_batch(batch)
            if not cursor_id:
                return
            with node.lock:
                if self.state not in (SECONDARY, RECOVERING) or self._choose_source() is not source:
                    return
            reply = client.command("local", {"getMore": cursor_id, "collection": "oplog.rs",
                                             "maxTimeMS": FETCH_WAIT_MS},
                                   timeout=FETCH_WAIT_MS / 1000.0 + 5)
            cursor_id = reply["cursor"]["id"]
            batch = reply["cursor"]["nextBatch"]

    def _diverged(self, client, start, source_next):
        """Our last optime is not in the source's oplog. Walking our oplog
        back to the newest entry the source also has: when everything above
        it is a no-op (a primary that stopped right after writing one), those
        entries are dropped and syncing resumes from there; otherwise the
        member needs a resync and goes RECOVERING."""
        pref = {"mode": "secondaryPreferred"}
        node = self.node
        with node.lock:
            oplog = node.oplog()
            ours = list(reversed(oplog.values())) if oplog is not None else []
        extra, common = [], None
        for entry in ours:
            found = client.command("local", {"find": "oplog.rs", "filter": {"ts": entry["ts"]},
                                             "limit": 1, "singleBatch": True,
                                             "$readPreference": pref})["cursor"]["firstBatch"]
            if found and found[0].get("t") == entry.get("t"):
                common = entry
                break
            if entry.get("op") != "n":
                break
            extra.append(entry)
        with node.lock:
            if common is not None:
                self._wait_unlocked()
                for entry in extra:
                    oplog.delete(entry["ts"])
                self._set_applied(common)
                log.log("REPL", "Dropped no-op entries the sync source never had",
                        count=len(extra))
                return
            self.state = RECOVERING
            self.info_message = ("our last optime fetched: %s. source's GTE: %s"
                                 % (start, source_next or "none"))
            log.log("REPL", "too stale to catch up", detail=self.info_message, severity="W")

    def _apply_batch(self, entries):
        node = self.node
        for entry in entries:
            delay = self.self_member.delay if self.self_member else 0
            if delay:
                wall = entry.get("wall") or utcnow()
                while not node.stopping.is_set():
                    left = (wall - utcnow()).total_seconds() + delay
                    if left <= 0:
                        break
                    time.sleep(min(left, 0.5))
            with node.lock:
                self._wait_unlocked()
                if node.stopping.is_set() or self.state not in (SECONDARY, RECOVERING, STARTUP2):
                    return
                if entry["ts"] <= self.applied:
                    continue
                apply_entry(node.storage, entry)
                node.ensure_oplog().put(entry)
                node.last_ts = max(node.last_ts, entry["ts"])
                self._set_applied(entry)
                node.cond.notify_all()
        self._wake_hb.set()  # report progress to the primary at once

    def _initial_sync(self, client, source):
        node = self.node
        with node.lock:
            self.state = STARTUP2
            self.sync_source = source.member.host
        log.log("REPL", "Initial sync started", source=source.member.host)
        newest = client.command("local", {"find": "oplog.rs", "sort": {"$natural": -1},
                                          "limit": 1, "singleBatch": True,
                                          "$readPreference": {"mode": "secondaryPreferred"}})
        begin = newest["cursor"]["firstBatch"]
        if not begin:
            raise CommandError(96, "sync source has an empty oplog")
        begin = begin[0]
        names = client.command("admin", {"listDatabases": 1, "nameOnly": True,
                                         "$readPreference": {"mode": "secondaryPreferred"}})
        copies = []
        for db in (d["name"] for d in names["databases"]):
            if db == "local":
                continue
            colls = client.command(db, {"listCollections": 1,
                                        "$readPreference": {"mode": "secondaryPreferred"}})
            for info in colls["cursor"]["firstBatch"]:
                indexes = client.command(db, {"listIndexes": info["name"], "$readPreference":
                                              {"mode": "secondaryPreferred"}})
                copies.append((db, info["name"], info.get("options") or {},
                               [i for i in indexes["cursor"]["firstBatch"]
                                if i["name"] != "_id_"],
                               self._fetch_all(client, db, info["name"])))
        with node.lock:
            self._wait_unlocked()
            for db in list(node.storage.dbs):
                if db != "local":
                    node.storage.drop_database(db)
            for db, name, options, indexes, docs in copies:
                options = {k: v for k, v in options.items() if k in ("capped", "size", "max")}
                coll = node.storage.create_collection(db, name, options, must_be_new=False)
                if indexes:
                    coll.set_indexes(indexes)
                for doc in docs:
                    coll.put(doc)
            node.ensure_oplog().put(begin)
            node.last_ts = max(node.last_ts, begin["ts"])
            self._set_applied(begin)
            self.state = SECONDARY
            node.cond.notify_all()
        log.log("REPL", "Initial sync done", begin=str(begin["ts"]))
        self._wake_hb.set()

    @staticmethod
    def _fetch_all(client, db, coll):
        pref = {"mode": "secondaryPreferred"}
        reply = client.command(db, {"find": coll, "batchSize": 1000, "$readPreference": pref})
        docs = list(reply["cursor"]["firstBatch"])
        cursor_id = reply["cursor"]["id"]
        while cursor_id:
            reply = client.command(db, {"getMore": cursor_id, "collection": coll,
                                        "batchSize": 1000, "$readPreference": pref})
            docs.extend(reply["cursor"]["nextBatch"])
            cursor_id = reply["cursor"]["id"]
        return docs

    # ---- periodic no-op writes ------------------------------------------------------
    def _noop_loop(self):
        node = self.node
        while not node.stopping.wait(1.0):
            with node.lock:
                if self.state == PRIMARY and node.fsync_lock_count == 0 and \
                        time.monotonic() - self._last_write >= NOOP_INTERVAL:
                    node.log_op("n", "", {"msg": "periodic noop"})

    # ---- lifecycle ---------------------------------------------------------------------
    def start(self):
        if self.config is not None:
            member = self.find_self(self.config)
            with self.node.lock:
                self.install_config(self.config, member)
        for target, name in ((self._heartbeat_loop, "ReplCoord-heartbeat"),
                             (self._sync_loop, "rsSync"), (self._noop_loop, "NoopWriter")):
            t = threading.Thread(target=target, name=name, daemon=True)
            t.start()
            self._threads.append(t)

    def stop(self):
        self._wake_hb.set()
        self._wake_sync.set()
        for peer in self.peers.values():
            peer.reset_client()

    # ---- reports ------------------------------------------------------------------------
    def hello_fields(self, writable_key):
        if not self.has_config():
            return {writable_key: False, "secondary": False,
                    "info": "Does not have a valid replica set config", "isreplicaset": True}
        cfg = self.config
        visible = [m for m in cfg.members if not m.hidden]
        reply = {"hosts": [m.host for m in visible if not m.arbiter and m.priority > 0]}
        passives = [m.host for m in visible if not m.arbiter and m.priority == 0]
        arbiters = [m.host for m in visible if m.arbiter]
        if passives:
            reply["passives"] = passives
        if arbiters:
            reply["arbiters"] = arbiters
        reply["setName"] = cfg.name
        reply["setVersion"] = cfg.version
        reply[writable_key] = self.state == PRIMARY
        reply["secondary"] = self.state == SECONDARY
        primary = self.primary_host()
        if primary:
            reply["primary"] = primary
        me = self.self_member
        if me.arbiter:
            reply["arbiterOnly"] = True
        if me.priority == 0 and not me.arbiter and not me.hidden:
            reply["passive"] = True
        if me.hidden:
            reply["hidden"] = True
        if me.delay:
            reply["slaveDelay" if "slaveDelay" in me.to_doc() else "secondaryDelaySecs"] = \
                Int64(me.delay)
        reply["me"] = me.host
        if self.state == PRIMARY:
            reply["electionId"] = ObjectId("7fffffff%016x" % self.term)
        committed = self.last_committed()
        reply["lastWrite"] = {"opTime": optime_doc(self.applied, self.applied_term),
                              "lastWriteDate": self.applied_wall,
                              "majorityOpTime": optime_doc(*committed),
                              "majorityWriteDate": self.applied_wall}
        return reply

    def _member_status(self, member, peer=None):
        now = time.monotonic()
        if peer is None:
            state, applied, term, wall = self.state, self.applied, self.applied_term, \
                self.applied_wall
            doc = {"_id": member.id, "name": member.host, "health": 1.0, "state": state,
                   "stateStr": STATE_STR[state], "uptime": int(now - self._started)}
        else:
            state = peer.state if peer.healthy else DOWN
            applied, term, wall = (peer.applied, peer.applied_term, peer.applied_wall) \
                if peer.healthy else (NULL_TS, -1, EPOCH)
            doc = {"_id": member.id, "name": member.host, "health": 1.0 if peer.healthy else 0.0,
                   "state": state, "stateStr": STATE_STR.get(state, "UNKNOWN"),
                   "uptime": int(now - peer.up_since) if peer.healthy and peer.up_since else 0}
        if state != ARBITER:
            doc["optime"] = optime_doc(applied, term)
            if peer is not None:
                doc["optimeDurable"] = optime_doc(applied, term)
            doc["optimeDate"] = wall
            if peer is not None:
                doc["optimeDurableDate"] = wall
        if peer is not None:
            doc["lastHeartbeat"] = peer.last_hb or EPOCH
            doc["lastHeartbeatRecv"] = peer.last_hb_recv or EPOCH
            doc["pingMs"] = Int64(peer.ping_ms)
            doc["lastHeartbeatMessage"] = peer.message
            doc["syncSourceHost"] = peer.sync_source if peer.healthy else ""
        else:
            doc["syncSourceHost"] = self.sync_source or ""
        source_id = -1
        host = doc["syncSourceHost"]
        for m in self.config.members:
            if m.host == host:
                source_id = m.id
        doc["syncSourceId"] = source_id
        doc["infoMessage"] = self.info_message if peer is None else ""
        if state == PRIMARY and peer is None and self.election_ts is not None:
            doc["electionTime"] = self.election_ts
            doc["electionDate"] = self.election_date
        doc["configVersion"] = self.config.version if peer is None else peer.config_version
        doc["configTerm"] = self.config.term
        if peer is None:
            doc["self"] = True
            doc["lastHeartbeatMessage"] = ""
        return doc

    def status(self):
        if self.config is None:
            raise CommandError(94, "no replset config has been received", "NotYetInitialized")
        if self.self_member is None:
            raise CommandError(93, "Our replica set config is invalid or we are not a member "
                               "of it", "InvalidReplicaSetConfig")
        cfg = self.config
        committed = self.last_committed()
        members = []
        for m in cfg.members:
            members.append(self._member_status(m, None if m.id == self.self_member.id
                                               else self.peers[m.id]))
        applied = optime_doc(self.applied, self.applied_term)
        return {
            "set": cfg.name,
            "date": utcnow(),
            "myState": self.state,
            "term": Int64(self.term),
            "syncSourceHost": self.sync_source or "",
            "syncSourceId": next((m.id for m in cfg.members if m.host == self.sync_source), -1),
            "heartbeatIntervalMillis": Int64(int(HEARTBEAT_INTERVAL * 1000)),
            "majorityVoteCount": cfg.majority,
            "writeMajorityCount": cfg.write_majority,
            "votingMembersCount": len(cfg.voters),
            "writableVotingMembersCount": len([m for m in cfg.voters if not m.arbiter]),
            "optimes": {
                "lastCommittedOpTime": optime_doc(*committed),
                "lastCommittedWallTime": self.applied_wall if committed[0] == self.applied
                else EPOCH,
                "readConcernMajorityOpTime": optime_doc(*committed),
                "appliedOpTime": applied,
                "durableOpTime": applied,
                "lastAppliedWallTime": self.applied_wall,
                "lastDurableWallTime": self.applied_wall,
            },
            "members": members,
        }
