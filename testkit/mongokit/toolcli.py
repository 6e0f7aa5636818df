"""What mongodump and mongorestore share, as the database tools do it: the
command line (go-flags style: --name value, --name=value, -x value), the
log lines on standard error ("<local time>\t<message>"), the password
prompt, the connection (pymongo, a direct connection unless a set name is
given), the error lines ("Failed: ...") and exit statuses.
"""
import datetime
import getpass
import socket
import sys

from . import kitconfig

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_BAD_OPTIONS = 3

# The tools report an unreachable server after their server selection
# timeout (30 s for the real tools; shorter here to keep tests quick).
SERVER_SELECTION_MS = 5000
TOOLS_VERSION = "100.3.1"

FLAG, VALUE, MULTI = "flag", "value", "multi"

# (spellings, destination, kind)
CONNECTION_OPTIONS = [
    (("--host", "-h"), "host", VALUE),
    (("--port",), "port", VALUE),
    (("--uri",), "uri", VALUE),
    (("--username", "-u"), "username", VALUE),
    (("--password", "-p"), "password", VALUE),
    (("--authenticationDatabase",), "authdb", VALUE),
    (("--authenticationMechanism",), "mechanism", VALUE),
    (("--ssl", "--tls"), "tls", FLAG),
    (("--sslCAFile", "--tlsCAFile"), "ca", VALUE),
    (("--sslPEMKeyFile", "--tlsCertificateKeyFile"), "pem", VALUE),
    (("--sslPEMKeyPassword", "--tlsCertificateKeyFilePassword"), "pem_password", VALUE),
    (("--sslAllowInvalidCertificates", "--tlsInsecure"), "invalid_certs", FLAG),
    (("--sslAllowInvalidHostnames",), "invalid_hosts", FLAG),
    (("--readPreference",), "read_preference", VALUE),
    (("--db", "-d"), "db", VALUE),
    (("--collection", "-c"), "collection", VALUE),
    (("--verbose", "-v"), "verbose", FLAG),
    (("--quiet",), "quiet", FLAG),
    (("--help",), "help", FLAG),
    (("--version",), "version", FLAG),
    (("--gzip",), "gzip", FLAG),
    (("--archive",), "archive", VALUE),
    (("--numParallelCollections", "-j"), "parallel", VALUE),
]


class ToolError(Exception):
    """Ends a tool run: the message (logged as "Failed: ...") and status."""

    def __init__(self, message, code=EXIT_FAILURE):
        super().__init__(message)
        self.code = code


class OptionError(Exception):
    """A command line the tool refuses before doing anything (status 3)."""


def log(message):
    now = datetime.datetime.now().astimezone()
    stamp = now.strftime("%Y-%m-%dT%H:%M:%S.") + "%03d" % (now.microsecond // 1000) + \
        now.strftime("%z")
    sys.stderr.write("%s\t%s\n" % (stamp, message))
    sys.stderr.flush()


def parse(argv, table):
    """(options dict, positional arguments). Unknown options and missing
    values raise OptionError."""
    by_name = {name: (dest, kind) for names, dest, kind in table for name in names}
    opts = {dest: ([] if kind == MULTI else None) for _, dest, kind in table}
    positional = []
    i = 0
    while i < len(argv):
        arg = argv[i]
        i += 1
        if arg == "--" or not arg.startswith("-") or arg == "-":
            positional.append(arg)
            continue
        name, eq, inline = arg.partition("=")
        if name not in by_name and len(name) > 2 and not name.startswith("--"):
            name, eq, inline = name[:2], True, arg[2:]  # -dshop
        if name.startswith("-v") and set(name[1:]) == {"v"}:
            name = "-v"
        if name not in by_name:
            raise OptionError("unknown option \"%s\"" % name.lstrip("-"))
        dest, kind = by_name[name]
        if kind == FLAG:
            opts[dest] = True
            continue
        if eq:
            value = inline
        elif i < len(argv):
            value = argv[i]
            i += 1
        else:
            raise OptionError("expected argument for flag `%s'" % name)
        if kind == MULTI:
            opts[dest].append(value)
        else:
            opts[dest] = value
    return opts, positional


def tool_version(program):
    if kitconfig.version_tuple() < (4, 4, 0):
        return "%s version: r%s\ngit version: kit\n" % (program, kitconfig.version())
    return ("%s version: %s\ngit version: kit\nGo version: go1.15\n   os: linux\n   arch: amd64\n"
            "   compiler: gc\n" % (program, TOOLS_VERSION))


def _address(opts):
    """(set name or None, ["host:port", ...]) from --host and --port."""
    text = opts["host"] or "localhost"
    set_name = None
    if "/" in text:
        set_name, text = text.split("/", 1)
    hosts = []
    for host in [h for h in text.split(",") if h] or ["localhost"]:
        name, colon, port = host.rpartition(":")
        if not colon:
            name, port = host, None
        if opts["port"]:
            port = opts["port"]
        if port is not None and not str(port).isdigit():
            raise ToolError("error parsing uri: invalid port '%s'" % port)
        hosts.append("%s:%s" % (name, port or 27017))
    return set_name, hosts


def read_password(opts):
    """The password, asked for on standard error when a user has none."""
    if not opts["username"] or opts["password"]:
        return opts["password"]
    sys.stderr.write("Enter password:")
    sys.stderr.flush()
    if sys.stdin.isatty():
        password = getpass.getpass(prompt="", stream=sys.stderr)
    else:
        password = sys.stdin.readline().rstrip("\r\n")
        sys.stderr.write("\n")
    sys.stderr.flush()
    return password


def connect(opts):
    """A pymongo client of the server the options name, connected and
    authenticated; ToolError as the tools word connection failures."""
    import pymongo
    from pymongo import errors
    kwargs = {"appname": opts["program"], "serverSelectionTimeoutMS": SERVER_SELECTION_MS,
              "connectTimeoutMS": 5000, "document_class": dict, "tz_aware": True,
              "uuidRepresentation": "unspecified"}
    if opts["uri"]:
        if opts["host"] or opts["port"]:
            raise OptionError("illegal argument combination: cannot specify --host or --port "
                              "and --uri")
        hosts, shown, set_name = opts["uri"], [opts["uri"]], None
    else:
        set_name, hosts = _address(opts)
        if set_name:
            kwargs["replicaSet"] = set_name
        elif len(hosts) == 1:
            kwargs["directConnection"] = True
        shown, hosts = hosts, [_resolved(h) for h in hosts]
    if opts["tls"]:
        kwargs["tls"] = True
        for dest, key in (("ca", "tlsCAFile"), ("pem", "tlsCertificateKeyFile"),
                          ("pem_password", "tlsCertificateKeyFilePassword")):
            if opts[dest]:
                kwargs[key] = opts[dest]
        if opts["invalid_certs"]:
            kwargs["tlsAllowInvalidCertificates"] = True
        if opts["invalid_hosts"]:
            kwargs["tlsAllowInvalidHostnames"] = True
    if opts["read_preference"]:
        kwargs["readPreference"] = opts["read_preference"]
    password = read_password(opts)
    if opts["username"]:
        kwargs.update(username=opts["username"], password=password or "",
                      authSource=opts["authdb"] or opts["db"] or "admin")
        if opts["mechanism"]:
            kwargs["authMechanism"] = opts["mechanism"]
    try:
        if kwargs.get("directConnection"):
            _reachable(hosts[0])
        client = pymongo.MongoClient(hosts, **kwargs)
        client.admin.command("ping")
    except errors.OperationFailure as exc:
        mechanism = opts["mechanism"] or "SCRAM-SHA-256"
        raise ToolError("can't create session: could not connect to server: connection() error "
                        "occured during connection handshake: auth error: sasl conversation "
                        "error: unable to authenticate using mechanism \"%s\": (%s) %s"
                        % (mechanism, (exc.details or {}).get("codeName", "AuthenticationFailed"),
                           (exc.details or {}).get("errmsg", exc)))
    except errors.ConfigurationError as exc:
        raise ToolError("error parsing uri: %s" % exc)
    except errors.PyMongoError as exc:
        raise ToolError("can't create session: could not connect to server: server selection "
                        "error: server selection timeout, current topology: { Type: %s, "
                        "Servers: [%s] }" % ("ReplicaSetNoPrimary" if set_name else "Single",
                                             ", ".join(_unreachable(h, exc) for h in shown)))
    return client


def _reachable(host):
    """Fails at once when nothing listens at host (the drivers would only
    report it after their server selection timeout)."""
    name, _, port = host.rpartition(":")
    try:
        socket.create_connection((name, int(port)), timeout=5).close()
    except OSError as exc:
        from pymongo.errors import ServerSelectionTimeoutError
        raise ServerSelectionTimeoutError(str(exc)) from exc


def _unreachable(host, exc):
    reason = str(exc).split(", Timeout:")[0]
    if "refused" in reason.lower():
        reason = "connection() error occured during connection handshake: dial tcp %s: " \
                 "connect: connection refused" % host
    return "{ Addr: %s, Type: Unknown, Last error: %s }" % (host, reason)


def _resolved(host):
    name, _, port = host.rpartition(":")
    try:
        return "%s:%s" % (kitconfig.resolve(name), port)
    except OSError:
        return host


def run(program, argv, usage, table, body):
    """Runs a tool: parses argv[1:] against table, answers --help/--version,
    calls body(opts, positional) and turns failures into the tools' lines
    and exit statuses. body returns the exit status."""
    try:
        opts, positional = parse(argv[1:], table)
        opts["program"] = program
        if opts["help"]:
            sys.stdout.write(usage)
            return EXIT_OK
        if opts["version"]:
            sys.stdout.write(tool_version(program))
            return EXIT_OK
        if opts["gzip"] or opts["archive"]:
            raise ToolError("--gzip and --archive are not supported by this test kit's %s"
                            % program)
        return body(opts, positional)
    except OptionError as exc:
        log("error parsing command line options: %s" % exc)
        log("try '%s --help' for more information" % program)
        return EXIT_BAD_OPTIONS
    except ToolError as exc:
        log("Failed: %s" % exc)
        return exc.code
    except KeyboardInterrupt:
        log("signal 'interrupt' received; attempting to shut down")
        return EXIT_FAILURE
