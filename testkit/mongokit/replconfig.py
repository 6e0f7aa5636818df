"""Replica-set configuration documents: validation and the normalised form
servers report (int32 _id/votes/version, double priority, int64 delay)."""
import random

from bson import Int64, ObjectId

from . import kitconfig
from .errors import CommandError

_MEMBER_FIELDS = {"_id", "host", "arbiterOnly", "buildIndexes", "hidden", "priority",
                  "tags", "slaveDelay", "secondaryDelaySecs", "votes"}
_CONFIG_FIELDS = {"_id", "version", "term", "members", "protocolVersion", "settings",
                  "configsvr", "writeConcernMajorityJournalDefault"}
MAX_VOTERS = 7


def _invalid(msg):
    return CommandError(93, msg)


def _number(member, key, default):
    value = member.get(key, default)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _invalid("Expected a number for field \"%s\" of replica set member %s"
                       % (key, member.get("_id")))
    return value


class Member:
    def __init__(self, doc):
        unknown = set(doc) - _MEMBER_FIELDS
        if unknown:
            raise _invalid("Unexpected field %s in replica set member configuration for member: %s"
                           % (sorted(unknown)[0], doc))
        mid = doc.get("_id")
        if isinstance(mid, bool) or not isinstance(mid, (int, float)) or int(mid) != mid \
                or not 0 <= mid <= 255:
            raise _invalid("_id field value of %r is out of range." % (mid,))
        self.id = int(mid)
        host = doc.get("host")
        if not isinstance(host, str) or not host:
            raise _invalid("Replica set member %d has no host field" % self.id)
        name, sep, port = host.rpartition(":")
        if not sep:
            name, port = host, "27017"
            host = "%s:27017" % host
        if not port.isdigit() or not name:
            raise _invalid("FailedToParse: invalid host '%s'" % host)
        self.host = host
        self.arbiter = bool(doc.get("arbiterOnly", False))
        self.hidden = bool(doc.get("hidden", False))
        self.build_indexes = bool(doc.get("buildIndexes", True))
        self.priority = float(_number(doc, "priority", 0 if self.arbiter else 1))
        self.votes = int(_number(doc, "votes", 1))
        delay = doc.get("secondaryDelaySecs", doc.get("slaveDelay", 0))
        self.delay = int(_number({"slaveDelay": delay, "_id": self.id}, "slaveDelay", 0))
        self.tags = doc.get("tags") or {}
        if self.arbiter:
            self.priority = 0.0
        if not 0 <= self.priority <= 1000:
            raise _invalid("priority field value of %s is out of range" % self.priority)
        if self.votes not in (0, 1):
            raise _invalid("votes field value is %d but must be 0 or 1" % self.votes)
        if self.priority > 0 and self.votes == 0:
            raise _invalid("priority must be 0 when non-voting (votes:0)")
        if self.hidden and self.priority > 0:
            raise _invalid("priority must be 0 when hidden=true")
        if self.delay and self.priority > 0:
            raise _invalid("priority must be 0 when slaveDelay is used")
        if self.delay < 0:
            raise _invalid("slaveDelay field value of %d seconds is out of range" % self.delay)

    @property
    def electable(self):
        return self.priority > 0 and not self.arbiter

    def to_doc(self):
        doc = {"_id": self.id, "host": self.host, "arbiterOnly": self.arbiter,
               "buildIndexes": self.build_indexes, "hidden": self.hidden,
               "priority": self.priority, "tags": self.tags}
        if kitconfig.version_tuple() >= (5, 0, 0):
            doc["secondaryDelaySecs"] = Int64(self.delay)
        else:
            doc["slaveDelay"] = Int64(self.delay)
        doc["votes"] = self.votes
        return doc


class ReplConfig:
    def __init__(self, doc, set_name=None):
        if not isinstance(doc, dict):
            raise _invalid("replica set configuration must be an object")
        unknown = set(doc) - _CONFIG_FIELDS
        if unknown:
            raise _invalid("Unexpected field %s in replica set configuration" % sorted(unknown)[0])
        name = doc.get("_id")
        if not isinstance(name, str) or not name:
            raise _invalid("Missing expected field \"_id\"")
        if set_name is not None and name != set_name:
            raise _invalid("Attempting to initiate a replica set with name %s, but command line "
                           "reports %s; rejecting" % (name, set_name))
        self.name = name
        self.version = int(doc.get("version", 1))
        self.term = int(doc.get("term", 0))
        self.configsvr = bool(doc.get("configsvr", False))
        self.settings = dict(doc.get("settings") or {})
        members = doc.get("members")
        if not isinstance(members, list) or not members:
            raise _invalid("Replica set configuration must contain at least one member")
        self.members = [Member(m if isinstance(m, dict) else {}) for m in members]
        ids = [m.id for m in self.members]
        hosts = [m.host.lower() for m in self.members]
        if len(set(ids)) != len(ids):
            raise _invalid("Found two member configurations with same _id field")
        if len(set(hosts)) != len(hosts):
            raise _invalid("Found two member configurations with same host field")
        voters = [m for m in self.members if m.votes]
        if len(voters) > MAX_VOTERS:
            raise _invalid("Replica set configuration contains %d voting members, but must "
                           "be at least 1 and no more than %d" % (len(voters), MAX_VOTERS))
        if not voters or not any(m.electable for m in self.members):
            raise _invalid("Replica set configuration must contain at least one electable member"
                           if voters else "Replica set configuration contains 0 voting members, "
                           "but must be at least 1 and no more than 7")
        self.settings.setdefault("replicaSetId", ObjectId())

    def member(self, member_id):
        return next((m for m in self.members if m.id == member_id), None)

    @property
    def voters(self):
        return [m for m in self.members if m.votes]

    @property
    def majority(self):
        return len(self.voters) // 2 + 1

    @property
    def write_majority(self):
        data_voters = [m for m in self.voters if not m.arbiter]
        return min(self.majority, len(data_voters))

    def to_doc(self):
        settings = {"chainingAllowed": True, "heartbeatIntervalMillis": 2000,
                    "heartbeatTimeoutSecs": 10, "electionTimeoutMillis": 10000,
                    "catchUpTimeoutMillis": -1, "catchUpTakeoverDelayMillis": 30000,
                    "getLastErrorModes": {}, "getLastErrorDefaults": {"w": 1, "wtimeout": 0}}
        settings.update(self.settings)
        doc = {"_id": self.name, "version": self.version, "term": self.term,
               "protocolVersion": Int64(1), "writeConcernMajorityJournalDefault": True,
               "members": [m.to_doc() for m in self.members], "settings": settings}
        if self.configsvr:
            doc["configsvr"] = True
        return doc

    @staticmethod
    def forced_version(current):
        """Forced reconfigs jump the version far ahead, as servers do."""
        return current + random.randint(10000, 99999)
