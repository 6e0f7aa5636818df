"""mongod's command line and YAML configuration file.

Both feed one tree of settings named as in the configuration file
(net.port, storage.dbPath, ...). That tree, with what was given and nothing
else, is what getCmdLineOpts reports as "parsed"; the command line wins
over the file, as with mongod.
"""
import os

from . import yamlsubset

EXIT_BADOPTIONS = 2


class OptionsError(Exception):
    """A refused command line or configuration file (exit status 2)."""


# (command-line names, setting path, kind, constant for flags)
# kinds: int, float, bool, str, flag (no argument), param (k=v, repeatable)
_TABLE = [
    (("--config", "-f"), "config", "str", None),
    (("--port",), "net.port", "int", None),
    (("--bind_ip",), "net.bindIp", "str", None),
    (("--bind_ip_all",), "net.bindIpAll", "flag", True),
    (("--ipv6",), "net.ipv6", "flag", True),
    (("--maxConns",), "net.maxIncomingConnections", "int", None),
    (("--nounixsocket",), "net.unixDomainSocket.enabled", "flag", False),
    (("--unixSocketPrefix",), "net.unixDomainSocket.pathPrefix", "str", None),
    (("--tlsMode",), "net.tls.mode", "str", None),
    (("--tlsCertificateKeyFile",), "net.tls.certificateKeyFile", "str", None),
    (("--tlsCertificateKeyFilePassword",), "net.tls.certificateKeyFilePassword", "str", None),
    (("--tlsCAFile",), "net.tls.CAFile", "str", None),
    (("--tlsClusterFile",), "net.tls.clusterFile", "str", None),
    (("--tlsAllowConnectionsWithoutCertificates",),
     "net.tls.allowConnectionsWithoutCertificates", "flag", True),
    (("--tlsAllowInvalidCertificates",), "net.tls.allowInvalidCertificates", "flag", True),
    (("--tlsAllowInvalidHostnames",), "net.tls.allowInvalidHostnames", "flag", True),
    (("--sslMode",), "net.ssl.mode", "str", None),
    (("--sslPEMKeyFile",), "net.ssl.PEMKeyFile", "str", None),
    (("--sslPEMKeyPassword",), "net.ssl.PEMKeyPassword", "str", None),
    (("--sslCAFile",), "net.ssl.CAFile", "str", None),
    (("--sslClusterFile",), "net.ssl.clusterFile", "str", None),
    (("--sslAllowConnectionsWithoutCertificates",),
     "net.ssl.allowConnectionsWithoutCertificates", "flag", True),
    (("--sslAllowInvalidCertificates",), "net.ssl.allowInvalidCertificates", "flag", True),
    (("--sslAllowInvalidHostnames",), "net.ssl.allowInvalidHostnames", "flag", True),
    (("--dbpath",), "storage.dbPath", "str", None),
    (("--directoryperdb",), "storage.directoryPerDB", "flag", True),
    (("--journal",), "storage.journal.enabled", "flag", True),
    (("--nojournal",), "storage.journal.enabled", "flag", False),
    (("--storageEngine",), "storage.engine", "str", None),
    (("--wiredTigerCacheSizeGB",), "storage.wiredTiger.engineConfig.cacheSizeGB", "float", None),
    (("--wiredTigerDirectoryForIndexes",),
     "storage.wiredTiger.engineConfig.directoryForIndexes", "flag", True),
    (("--logpath",), "systemLog.path", "str", None),
    (("--logappend",), "systemLog.logAppend", "flag", True),
    (("--quiet",), "systemLog.quiet", "flag", True),
    (("--syslog",), "systemLog.destination", "flag", "syslog"),
    (("--timeStampFormat",), "systemLog.timeStampFormat", "str", None),
    (("--fork",), "processManagement.fork", "flag", True),
    (("--pidfilepath",), "processManagement.pidFilePath", "str", None),
    (("--replSet",), "replication.replSetName", "str", None),
    (("--oplogSize",), "replication.oplogSizeMB", "float", None),
    (("--enableMajorityReadConcern",), "replication.enableMajorityReadConcern", "flag", True),
    (("--configsvr",), "sharding.clusterRole", "flag", "configsvr"),
    (("--shardsvr",), "sharding.clusterRole", "flag", "shardsvr"),
    (("--configdb",), "sharding.configDB", "str", None),
    (("--auth",), "security.authorization", "flag", "enabled"),
    (("--noauth",), "security.authorization", "flag", "disabled"),
    (("--keyFile",), "security.keyFile", "str", None),
    (("--slowms",), "operationProfiling.slowOpThresholdMs", "int", None),
    (("--profile",), "operationProfiling.mode", "int", None),
    (("--setParameter",), "setParameter", "param", None),
    (("--wiredTigerJournalCompressor",),
     "storage.wiredTiger.engineConfig.journalCompressor", "str", None),
    (("--wiredTigerCollectionBlockCompressor",),
     "storage.wiredTiger.collectionConfig.blockCompressor", "str", None),
    (("--journalCommitInterval",), "storage.journal.commitIntervalMs", "int", None),
    (("--syncdelay",), "storage.syncPeriodSecs", "float", None),
    (("--networkMessageCompressors",), "net.compression.compressors", "str", None),
    (("--clusterAuthMode",), "security.clusterAuthMode", "str", None),
    (("--transitionToAuth",), "security.transitionToAuth", "flag", True),
    (("--noscripting",), "security.javascriptEnabled", "flag", False),
    (("--notablescan",), "setParameter.notablescan", "flag", True),
    (("--enableFreeMonitoring",), "cloud.monitoring.free.state", "str", None),
    (("--timeZoneInfo",), "processManagement.timeZoneInfo", "str", None),
]

# Settings a configuration file may hold beyond the command-line ones.
_YAML_ONLY = {
    "systemLog.destination": "str", "systemLog.verbosity": "int",
    "systemLog.logRotate": "str", "storage.syncPeriodSecs": "float",
    "storage.journal.commitIntervalMs": "int", "processManagement.fork": "bool",
    "net.tls.disabledProtocols": "str", "net.ssl.disabledProtocols": "str",
    "net.compression.compressors": "str", "replication.oplogSizeMB": "float",
    "security.authorization": "str", "sharding.clusterRole": "str",
    "storage.wiredTiger.engineConfig.journalCompressor": "str",
    "storage.wiredTiger.collectionConfig.blockCompressor": "str",
}

ACTIONS = {"--version": "version", "--help": "help", "-h": "help", "--shutdown": "shutdown",
           "--sysinfo": "sysinfo"}

# What each program takes: mongod everything but the router's settings; the
# router (mongos) no storage, replication, cluster role or profiling.
_ROUTER_ONLY = ("sharding.configDB",)
_ROUTER_SETTINGS = ("config", "net.", "systemLog.", "processManagement.", "security.keyFile",
                    "security.clusterAuthMode", "security.transitionToAuth",
                    "security.javascriptEnabled", "setParameter", "sharding.configDB")
_ROUTER_ACTIONS = ("version", "help")


def _takes(program, path):
    if program == "mongos":
        return any(path == p or (p.endswith(".") and path.startswith(p))
                   for p in _ROUTER_SETTINGS)
    return path not in _ROUTER_ONLY
SECRET_PATHS = ("net.tls.certificateKeyFilePassword", "net.ssl.PEMKeyPassword")

_BY_NAME = {name: (path, kind, const) for names, path, kind, const in _TABLE for name in names}
_KINDS = dict(_YAML_ONLY)
for _names, _path, _kind, _const in _TABLE:
    if _kind != "param":
        _KINDS.setdefault(_path, {"flag": "bool" if isinstance(_const, bool) else "str"}.get(_kind, _kind))


def _strip_quotes(text):
    # Some launchers keep the quotes of a shell line around an argument.
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "\"'":
        return text[1:-1]
    return text


def _convert(kind, text, what):
    try:
        if kind == "int":
            return int(text)
        if kind == "float":
            return float(text)
        if kind == "bool":
            if isinstance(text, bool):
                return text
            if text.lower() in ("true", "1"):
                return True
            if text.lower() in ("false", "0"):
                return False
            raise ValueError(text)
    except (TypeError, ValueError):
        raise OptionsError("the argument ('%s') for option '%s' is invalid" % (text, what))
    return text


def _set(tree, path, value):
    parts = path.split(".")
    for part in parts[:-1]:
        tree = tree.setdefault(part, {})
    tree[parts[-1]] = value


def get(tree, path, default=None):
    for part in path.split("."):
        if not isinstance(tree, dict) or part not in tree:
            return default
        tree = tree[part]
    return tree


def _merge(dst, src):
    for k, v in src.items():
        if isinstance(v, dict) and isinstance(dst.get(k), dict):
            _merge(dst[k], v)
        else:
            dst[k] = v


class Options:
    """Parsed settings of one server start; program is "mongod" or "mongos"."""

    def __init__(self, argv, program="mongod"):
        self.argv = list(argv)
        self.program = program
        self.actions = []
        self.parsed = {}
        self._parse()

    def get(self, path, default=None):
        return get(self.parsed, path, default)

    def _parse(self):
        cli = {}
        args = [_strip_quotes(a) for a in self.argv[1:]]
        i = 0
        while i < len(args):
            arg = args[i]
            i += 1
            if arg in ACTIONS and (self.program == "mongod" or ACTIONS[arg] in _ROUTER_ACTIONS):
                self.actions.append(ACTIONS[arg])
                continue
            if arg.startswith("-v") and set(arg[1:]) == {"v"}:
                _set(cli, "systemLog.verbosity", len(arg) - 1)
                continue
            name, eq, inline = arg.partition("=")
            if name not in _BY_NAME or not _takes(self.program, _BY_NAME[name][0]):
                raise OptionsError("unrecognised option '%s'" % arg)
            path, kind, const = _BY_NAME[name]
            if kind == "flag":
                if eq:
                    if not _convert("bool", inline, name):
                        continue
                _set(cli, path, const)
                continue
            if eq:
                value = _strip_quotes(inline)
            elif i < len(args):
                value = args[i]
                i += 1
            else:
                raise OptionsError("the required argument for option '%s' is missing" % name)
            if kind == "param":
                key, sep, pval = value.partition("=")
                if not sep:
                    raise OptionsError("Illegal option assignment: \"%s\"" % value)
                cli.setdefault("setParameter", {})[key] = pval
                continue
            if kind == "str" and path == "config":
                value = os.path.abspath(value)
            _set(cli, path, _convert(kind, value, name))
        if "systemLog" in cli and "path" in cli["systemLog"]:
            cli["systemLog"].setdefault("destination", "file")
        parsed = {}
        if "config" in cli:
            parsed["config"] = cli["config"]
            _merge(parsed, self._read_file(cli["config"]))
        _merge(parsed, cli)
        self.parsed = parsed

    def _read_file(self, path):
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except OSError as exc:
            raise OptionsError("Error reading config file: %s" % (exc.strerror or exc))
        try:
            tree = yamlsubset.parse(text)
        except yamlsubset.YamlError as exc:
            raise OptionsError("Error parsing YAML config file: %s" % exc)
        out = {}
        self._typed(tree, "", out)
        return out

    def _typed(self, tree, prefix, out):
        for key, value in tree.items():
            path = prefix + key
            if path == "setParameter" and isinstance(value, dict):
                out["setParameter"] = {k: v for k, v in value.items()}
                continue
            if isinstance(value, dict):
                self._typed(value, path + ".", out)
                continue
            kind = _KINDS.get(path)
            if kind is None or not _takes(self.program, path):
                raise OptionsError("Unrecognized option: %s" % path)
            if value is None:
                continue
            _set(out, path, _convert(kind, value, path))

    def reported(self):
        """(argv, parsed) with passwords masked, for getCmdLineOpts and logs."""
        argv, hide = [], False
        secret_flags = {"--tlsCertificateKeyFilePassword", "--sslPEMKeyPassword"}
        for arg in self.argv:
            name, eq, _ = arg.partition("=")
            if hide:
                argv.append("<password>")
                hide = False
            elif name in secret_flags:
                argv.append(name + "=<password>" if eq else arg)
                hide = not eq
            else:
                argv.append(arg)
        parsed = _copy(self.parsed)
        for path in SECRET_PATHS:
            if get(parsed, path) is not None:
                _set(parsed, path, "<password>")
        return argv, parsed


def _copy(tree):
    return {k: _copy(v) if isinstance(v, dict) else v for k, v in tree.items()}
