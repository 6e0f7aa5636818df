"""mongod: option handling, start-up, the --fork dance and orderly shutdown."""
import fcntl
import os
import signal
import sys
import threading
import time

from . import kitconfig, procs, tlsconfig
from . import version as kitversion
from .daemon import fork_server
from .logsink import log
from .node import Node
from .options import EXIT_BADOPTIONS, Options, OptionsError
from .server import Server

EXIT_FAILURE = 1
EXIT_NET_ERROR = 48
EXIT_DBPATH = 100
DEFAULT_DBPATH = "/data/db"

USAGE = """Options:
  --config, -f arg      configuration file (YAML)
  --port arg            listening port (27017; 27018 with --shardsvr, 27019 with --configsvr)
  --bind_ip arg         comma-separated addresses or names to listen on (127.0.0.1)
  --bind_ip_all         listen on all IPv4 addresses
  --dbpath arg          data directory (/data/db)
  --logpath arg         log file instead of standard output
  --logappend           append to the log file instead of rotating it
  --fork                run in the background (needs --logpath)
  --replSet arg         replica set name
  --oplogSize arg       oplog size in megabytes (fractions allowed by this server)
  --configsvr, --shardsvr   cluster role
  --auth                require authentication
  --keyFile arg         shared secret of the members (implies --auth)
  --tlsMode arg, --tlsCertificateKeyFile arg, --tlsCAFile arg, ... (and the --ssl* names)
  --shutdown            stop the server running on --dbpath
  --version             print the version
"""


class StartupError(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def bad_options(program, message):
    print(message, file=sys.stderr)
    print("try '%s --help' for more information" % program, file=sys.stderr)
    return EXIT_BADOPTIONS


def _dbpath(options):
    return os.path.abspath(options.get("storage.dbPath") or DEFAULT_DBPATH)


def shutdown_running(options):
    """--shutdown: signals the server that holds the dbPath and waits."""
    dbpath = _dbpath(options)
    pid = procs.lock_pid(dbpath)
    if pid is None or not procs.alive(pid) or not procs.is_mongod_of(pid, dbpath):
        print("There doesn't seem to be a server running with dbpath: %s" % dbpath)
        return EXIT_FAILURE
    print("killing process with pid: %d" % pid)
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 60
    while procs.alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return 0 if not procs.alive(pid) else EXIT_FAILURE


def bind_addresses(options):
    if options.get("net.bindIpAll"):
        return ["0.0.0.0"], ["0.0.0.0"]
    text = options.get("net.bindIp") or "127.0.0.1"
    names = [p.strip().strip("\"'") for p in str(text).split(",") if p.strip()]
    ips = []
    for name in names:
        try:
            ip = kitconfig.resolve(name)
        except OSError:
            raise StartupError(EXIT_NET_ERROR, "Failed to set up listener: SocketException: "
                               "cannot resolve bind address %s" % name)
        if ip not in ips:
            ips.append(ip)
    return names, ips


def read_key_file(path):
    try:
        st = os.stat(path)
        with open(path, encoding="utf-8") as f:
            key = "".join(f.read().split())
    except OSError as exc:
        raise StartupError(EXIT_FAILURE, "error getting file %s: %s" % (path, exc.strerror))
    if st.st_mode & 0o077:
        raise StartupError(EXIT_FAILURE, "permissions on %s are too open" % path)
    if len(key) < 6:
        raise StartupError(EXIT_FAILURE, "security key in %s has length %d, must be between "
                           "6 and 1024 chars" % (path, len(key)))
    return key


class ServerProcess:
    """A server's life once its options are read: start() (which raises
    StartupError), a stop request from a signal or the shutdown command,
    and wait_and_stop(), which returns once the server has stopped."""

    def __init__(self, options):
        self.options = options
        self.node = None
        self.server = None
        self.stop_event = threading.Event()

    def request_stop(self, reason):
        log.log("CONTROL", "shutting down", reason=reason)
        self.stop_event.set()

    def _wait_then_close_connections(self):
        while not self.stop_event.wait(1.0):
            with self.node.lock:
                self.node.reap_cursors()
        self.node.stopping.set()
        self.node.wake()
        self.server.stop()

    @staticmethod
    def _log_exit():
        log.log("CONTROL", "now exiting")
        log.log("CONTROL", "Shutting down", exitCode=0)


class MongodProcess(ServerProcess):
    def __init__(self, options):
        super().__init__(options)
        self.lock_fd = None

    def start(self):
        options = self.options
        dbpath = _dbpath(options)
        if not os.path.isdir(dbpath):
            raise StartupError(EXIT_DBPATH, "NonExistentPath: Data directory %s not found. Create "
                               "the missing directory or specify another path using (1) the "
                               "--dbpath command line option, or (2) by adding the "
                               "'storage.dbPath' option in the configuration file." % dbpath)
        try:
            tls_mode, ssl_ctx = tlsconfig.server_context(options)
        except OptionsError as exc:
            raise StartupError(EXIT_BADOPTIONS, str(exc))
        self._lock_dbpath(dbpath)
        names, ips = bind_addresses(options)
        role = options.get("sharding.clusterRole")
        port = options.get("net.port") or {"configsvr": 27019, "shardsvr": 27018}.get(role, 27017)
        node = Node(options, dbpath)
        node.port = port
        node.bind_ips = ips
        node.shutdown_hook = self.request_stop
        key_file = options.get("security.keyFile")
        if key_file:
            node.internal_key = read_key_file(key_file)
        node.auth_enabled = options.get("security.authorization") == "enabled" or bool(key_file)
        node.open()
        self._ensure_fcv(node)
        set_name = options.get("replication.replSetName")
        if set_name:
            from .replication import ReplCoordinator
            node.repl = ReplCoordinator(node, set_name)
            node.repl.load()
        self.node = node
        self.server = Server(node, ssl_ctx, tls_mode)
        try:
            self.server.listen(ips, port)
        except OSError as exc:
            raise StartupError(EXIT_NET_ERROR, "Failed to set up listener: SocketException: %s"
                               % (exc.strerror or exc))
        self._write_lock_pid()
        self.server.serve()
        if node.repl is not None:
            node.repl.start()
        log.log("NETWORK", "Waiting for connections", port=port, ssl="off" if tls_mode ==
                "disabled" else "on", bindIp=names)

    @staticmethod
    def _ensure_fcv(node):
        # A fresh data directory holds the feature compatibility version, as
        # servers write it on their first start.
        if node.storage.collection("admin", "system.version") is None:
            major, minor, _ = kitconfig.version_tuple()
            coll = node.storage.create_collection("admin", "system.version", {})
            coll.put({"_id": "featureCompatibilityVersion", "version": "%d.%d" % (major, minor)})

    def _lock_dbpath(self, dbpath):
        path = os.path.join(dbpath, procs.LOCK_FILE)
        fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise StartupError(EXIT_DBPATH, "DBPathInUse: Unable to lock the lock file: %s "
                               "(Resource temporarily unavailable). Another mongod instance is "
                               "already running on the %s directory" % (path, dbpath))
        if os.fstat(fd).st_size:
            log.log("STORAGE", "Detected unclean shutdown - Lock file is not empty", severity="W",
                    lockFile=path)
        self.lock_fd = fd

    def _write_lock_pid(self):
        os.ftruncate(self.lock_fd, 0)
        os.pwrite(self.lock_fd, ("%d\n" % os.getpid()).encode(), 0)
        pid_file = self.options.get("processManagement.pidFilePath")
        if pid_file:
            with open(pid_file, "w") as f:
                f.write("%d\n" % os.getpid())

    def wait_and_stop(self):
        self._wait_then_close_connections()
        node = self.node
        if node.repl is not None:
            node.repl.stop()
        with node.lock:
            if not node.storage.frozen:
                node.storage.fsync_all()
            node.storage.close()
        os.ftruncate(self.lock_fd, 0)
        os.close(self.lock_fd)
        self._log_exit()


def serve(program, options, process, **startup_fields):
    """Runs a server process to its end: log file, --fork, start-up (the
    process's start() raises StartupError), signals, orderly stop. Returns
    the exit status."""
    fork = bool(options.get("processManagement.fork"))
    log_path = options.get("systemLog.path")
    if fork and not log_path and options.get("systemLog.destination") != "syslog":
        return bad_options(program, "BadValue: --fork has to be used with --logpath or --syslog")
    if log_path:
        try:
            log.open_file(os.path.abspath(log_path), bool(options.get("systemLog.logAppend")))
        except OSError as exc:
            print("Failed global initialization: FileNotOpen: Failed to open \"%s\": %s"
                  % (log_path, exc.strerror), file=sys.stderr)
            return EXIT_FAILURE
    reporter = fork_server() if fork else None
    argv_shown, _ = options.reported()
    log.log("CONTROL", "MongoDB starting", pid=os.getpid(), port=options.get("net.port"),
            version=kitconfig.version(), **startup_fields)
    log.log("CONTROL", "Options set by command line", options={"argv": argv_shown})
    try:
        process.start()
    except StartupError as exc:
        log.log("CONTROL", str(exc), severity="F")
        log.log("CONTROL", "Shutting down", exitCode=exc.code)
        if reporter:
            reporter.failed(exc.code)
        else:
            print(str(exc), file=sys.stderr)
        return exc.code
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: process.request_stop("signal"))
    if reporter:
        reporter.ready()
    process.wait_and_stop()
    return 0


def parse_options(argv, program, usage, version_name):
    """(Options, None) to go on, or (None, exit status) once a refused
    command line is reported or --help/--version answered."""
    try:
        options = Options(argv, program)
    except OptionsError as exc:
        text = str(exc)
        if not text.startswith(("Error", "Unrecognized")):
            text = "Error parsing command line: " + text
        return None, bad_options(argv[0] if argv else program, text)
    if "help" in options.actions:
        print(usage)
        return None, 0
    if "version" in options.actions:
        sys.stdout.write(kitversion.version_text(version_name))
        return None, 0
    return options, None


def main(argv):
    options, status = parse_options(argv, "mongod", USAGE, "db")
    if options is None:
        return status
    if "shutdown" in options.actions:
        return shutdown_running(options)
    return serve("mongod", options, MongodProcess(options), dbPath=_dbpath(options))
