"""mongo: the legacy shell's command line, connecting with a real client
(pymongo) and evaluating the few scripts tools are known to run.

Evaluated scripts (blanks and a trailing ';' ignored):
    db.runCommand({ping:1}) / db.adminCommand({ping:1})   prints the reply
    sh.stopBalancer(), sh.startBalancer()                  (mongos only)
    sh.getBalancerState()                                  prints true/false
Anything else fails like an uncaught exception in the shell.
"""
import socket
import sys

from . import kitconfig
from .jsformat import tojson

EXIT_CONNECT = 1
EXIT_EVAL_FAILED = 252

_VALUE_OPTIONS = {
    "--host": "host", "--port": "port", "--eval": "eval", "-u": "username",
    "--username": "username", "-p": "password", "--password": "password",
    "--authenticationDatabase": "authdb", "--authenticationMechanism": "mechanism",
    "--sslCAFile": "ca", "--tlsCAFile": "ca", "--sslPEMKeyFile": "pem",
    "--tlsCertificateKeyFile": "pem", "--sslPEMKeyPassword": "pem_password",
    "--tlsCertificateKeyFilePassword": "pem_password",
}
_FLAG_OPTIONS = {
    "--quiet": "quiet", "--ssl": "tls", "--tls": "tls", "--nodb": "nodb", "--norc": "norc",
    "--sslAllowInvalidCertificates": "invalid_certs",
    "--tlsAllowInvalidCertificates": "invalid_certs",
    "--sslAllowInvalidHostnames": "invalid_hosts", "--tlsAllowInvalidHostnames": "invalid_hosts",
    "--verbose": "verbose", "--version": "version", "--help": "help", "-h": "help",
}


class ShellError(Exception):
    def __init__(self, text, code):
        super().__init__(text)
        self.code = code


def parse_args(argv):
    opts = {"host": None, "port": None, "eval": None, "files": []}
    i = 0
    while i < len(argv):
        arg = argv[i]
        i += 1
        name, eq, inline = arg.partition("=")
        if name in _VALUE_OPTIONS:
            if eq:
                value = inline
            elif name in ("-p", "--password") and (i >= len(argv) or argv[i].startswith("--")):
                value = ""  # a bare -p asks for the password
            elif i < len(argv):
                value = argv[i]
                i += 1
            else:
                raise ShellError("Error parsing command line: the required argument for option "
                                 "'%s' is missing" % name.lstrip("-"), 2)
            opts[_VALUE_OPTIONS[name]] = value
        elif arg in _FLAG_OPTIONS:
            opts[_FLAG_OPTIONS[arg]] = True
        elif arg.startswith("-"):
            raise ShellError("Error parsing command line: unrecognised option '%s'" % arg, 2)
        else:
            opts["files"].append(arg)
    return opts


def _address(opts):
    host = opts["host"] or "127.0.0.1"
    port = opts["port"]
    if "/" in host:  # "set/h1:p1,h2:p2": the first seed is enough here
        host = host.split("/", 1)[1].split(",")[0]
    if ":" in host and port is None:
        host, port = host.rsplit(":", 1)
    if opts["files"] and opts["host"] is None and opts["port"] is None:
        target = opts["files"][0]
        if "/" in target:
            target = target.split("/", 1)[0]
        if ":" in target:
            host, port = target.rsplit(":", 1)
    return host, int(port or 27017)


def _connect(opts, host, port, password):
    import pymongo
    from pymongo import errors
    try:
        socket.create_connection((kitconfig.resolve(host), port), timeout=5).close()
    except OSError as exc:
        raise ShellError("Error: couldn't connect to server %s:%d, connection attempt failed: "
                         "SocketException: Error connecting to %s:%d :: caused by :: %s :\n"
                         "connect@src/mongo/shell/mongo.js:374:17\n@(connect):2:6\n"
                         "exception: connect failed\nexiting with code 1"
                         % (host, port, host, port, exc.strerror or exc), EXIT_CONNECT)
    kwargs = {"directConnection": True, "serverSelectionTimeoutMS": 5000,
              "connectTimeoutMS": 5000, "appname": "MongoDB Shell"}
    if opts.get("tls"):
        kwargs["tls"] = True
        if opts.get("ca"):
            kwargs["tlsCAFile"] = opts["ca"]
        if opts.get("pem"):
            kwargs["tlsCertificateKeyFile"] = opts["pem"]
        if opts.get("pem_password"):
            kwargs["tlsCertificateKeyFilePassword"] = opts["pem_password"]
        if opts.get("invalid_certs"):
            kwargs["tlsAllowInvalidCertificates"] = True
        if opts.get("invalid_hosts"):
            kwargs["tlsAllowInvalidHostnames"] = True
    if opts.get("username"):
        kwargs["username"] = opts["username"]
        kwargs["password"] = password
        kwargs["authSource"] = opts.get("authdb") or "admin"
        if opts.get("mechanism"):
            kwargs["authMechanism"] = opts["mechanism"]
    client = pymongo.MongoClient(kitconfig.resolve(host) if host == "localhost" else host,
                                 port, **kwargs)
    try:
        hello = client.admin.command("isMaster")
        info = client.admin.command("buildInfo")
    except errors.OperationFailure as exc:
        if exc.code == 18 or "auth" in str(exc).lower():
            raise ShellError("Error: Authentication failed. :\n"
                             "connect@src/mongo/shell/mongo.js:374:17\n@(connect):2:6\n"
                             "exception: connect failed\nexiting with code 1", EXIT_CONNECT)
        raise ShellError("Error: %s :\nexception: connect failed\nexiting with code 1"
                         % exc, EXIT_CONNECT)
    except errors.PyMongoError as exc:
        reason = str(exc).split(", Timeout:")[0]
        kind = "SSLHandshakeFailed" if opts.get("tls") else "HostUnreachable"
        raise ShellError("Error: couldn't connect to server %s:%d, connection attempt failed: "
                         "%s: %s :\nconnect@src/mongo/shell/mongo.js:374:17\n"
                         "@(connect):2:6\nexception: connect failed\nexiting with code 1"
                         % (host, port, kind, reason), EXIT_CONNECT)
    return client, hello, info


def _uncaught(message):
    return ShellError("uncaught exception: %s :\n@(shell eval):1:1\nexiting with code %d"
                      % (message, EXIT_EVAL_FAILED - 256), EXIT_EVAL_FAILED)


def _command_failed(reply):
    return _uncaught("Error: command failed: %s" % tojson(reply))


def _check_mongos(hello):
    if hello.get("msg") != "isdbgrid":
        raise _uncaught("Error: not connected to a mongos")


def _run_command(client, db, doc):
    from pymongo import errors
    try:
        return client[db].command(doc)
    except errors.OperationFailure as exc:
        return exc.details


def _legacy_balancer(client, stop):
    client.config.settings.update_one({"_id": "balancer"}, {"$set": {"stopped": stop}},
                                      upsert=True)
    if stop:
        return ("Waiting for active hosts...\nWaiting for the balancer lock...\n"
                "Waiting again for active hosts after balancer is off...")
    return None


def evaluate(script, client, hello, legacy):
    """Returns the text the shell prints for a known script; a server's
    refusal ends the script as the shell's uncaught error."""
    from pymongo import errors
    try:
        return _evaluate(script, client, hello, legacy)
    except errors.OperationFailure as exc:
        details = {k: v for k, v in (exc.details or {}).items()
                   if k not in ("$clusterTime", "operationTime")}
        raise _uncaught("Error: error: %s" % tojson(details or {"errmsg": str(exc)}))


def _evaluate(script, client, hello, legacy):
    key = "".join(script.split()).rstrip(";")
    if key in ("db.runCommand({ping:1})", "db.adminCommand({ping:1})",
               'db.runCommand("ping")', 'db.adminCommand("ping")'):
        db = "admin" if key.startswith("db.adminCommand") else "test"
        return tojson(_run_command(client, db, {"ping": 1}))
    if key in ("sh.stopBalancer()", "sh.startBalancer()"):
        _check_mongos(hello)
        stop = key == "sh.stopBalancer()"
        if legacy:
            return _legacy_balancer(client, stop)
        reply = _run_command(client, "admin", {"balancerStop" if stop else "balancerStart": 1,
                                               "maxTimeMS": 60000})
        if reply.get("ok") != 1:
            raise _command_failed(reply)
        return tojson(reply)
    if key == "sh.getBalancerState()":
        _check_mongos(hello)
        settings = client.config.settings.find_one({"_id": "balancer"})
        return "true" if settings is None or not settings.get("stopped") else "false"
    head = key.split("(")[0].split(".")[0] or key
    if head not in ("db", "sh", "rs", "print", "printjson"):
        raise _uncaught("ReferenceError: %s is not defined" % head)
    raise _uncaught("Error: this shell evaluates only ping and balancer scripts, not: %s" % script)


def main(argv):
    out = sys.stdout
    try:
        opts = parse_args(argv[1:])
        shell_version = kitconfig.version()
        if opts.get("version"):
            out.write("MongoDB shell version v%s\n" % shell_version)
            return 0
        if opts.get("help"):
            out.write("usage: mongo [options] [db address] [file names (ending in .js)]\n")
            return 0
        quiet = bool(opts.get("quiet"))
        legacy = kitconfig.version_tuple() < (3, 4, 0)
        if not quiet:
            out.write(("MongoDB shell version: %s\n" if legacy else
                       "MongoDB shell version v%s\n") % shell_version)
        password = opts.get("password")
        if opts.get("username") and not password:
            out.flush()
            sys.stderr.write("Enter password: ")
            sys.stderr.flush()
            password = sys.stdin.readline().rstrip("\r\n")
            sys.stderr.write("\n")
        host, port = _address(opts)
        if not quiet:
            out.write(("connecting to: %s:%d/test\n" if legacy else
                       "connecting to: mongodb://%s:%d/?compressors=disabled&"
                       "gssapiServiceName=mongodb\n") % (host, port))
            out.flush()
        client, hello, info = _connect(opts, host, port, password)
        if not quiet and not legacy:
            out.write("MongoDB server version: %s\n" % info.get("version", ""))
        if opts.get("eval") is None:
            raise _uncaught("Error: this shell runs only --eval scripts")
        text = evaluate(opts["eval"], client, hello, legacy)
        if text is not None:
            out.write(text + "\n")
        out.flush()
        client.close()
        return 0
    except ShellError as exc:
        out.write(str(exc) + "\n")
        out.flush()
        return exc.code
