"""mongos: the router's options, start-up and orderly shutdown."""
import os
import threading

from . import tlsconfig
from .logsink import log
from .mongod_main import (EXIT_FAILURE, EXIT_NET_ERROR, ServerProcess, StartupError,
                          bad_options, bind_addresses, parse_options, read_key_file, serve)
from .options import EXIT_BADOPTIONS, OptionsError
from .router import PING_INTERVAL, RouterNode, client_options, parse_connection_string

# How long a starting router waits for the config servers to have a primary
# before it gives up (MongoDB's router keeps retrying; a test kit had better
# fail than hang).
CONFIG_WAIT_SECONDS = 30.0

USAGE = """Options:
  --config, -f arg      configuration file (YAML)
  --configdb arg        the config servers: <set name>/<host:port>,<host:port>,...
  --port arg            listening port (27017)
  --bind_ip arg         comma-separated addresses or names to listen on (127.0.0.1)
  --bind_ip_all         listen on all IPv4 addresses
  --logpath arg         log file instead of standard output
  --logappend           append to the log file instead of rotating it
  --fork                run in the background (needs --logpath)
  --keyFile arg         shared secret of the cluster's servers (implies authentication)
  --tlsMode arg, --tlsCertificateKeyFile arg, --tlsCAFile arg, ... (and the --ssl* names)
  --version             print the version
"""


class MongosProcess(ServerProcess):
    def start(self):
        from .commands.router import ROUTER
        from .server import Server
        options = self.options
        try:
            tls_mode, ssl_ctx = tlsconfig.server_context(options)
        except OptionsError as exc:
            raise StartupError(EXIT_BADOPTIONS, str(exc))
        names, ips = bind_addresses(options)
        key_file = options.get("security.keyFile")
        key = read_key_file(key_file) if key_file else None
        node = RouterNode(options, client_options(options, key))
        node.port = options.get("net.port") or 27017
        node.bind_ips = ips
        node.internal_key = key
        node.auth_enabled = key is not None
        node.shutdown_hook = self.request_stop
        self.node = node
        catalog = node.catalog
        if not catalog.wait_for_config(CONFIG_WAIT_SECONDS):
            catalog.close()
            raise StartupError(EXIT_FAILURE, "Error initializing sharding state: no primary of "
                               "the config servers %s answered within %d seconds"
                               % (options.get("sharding.configDB"), CONFIG_WAIT_SECONDS))
        try:
            catalog.cluster_id()
        except Exception as exc:  # pymongo's errors: refused by the config servers
            catalog.close()
            raise StartupError(EXIT_FAILURE, "Error initializing sharding state: %s" % exc)
        self.server = Server(node, ssl_ctx, tls_mode, commands=ROUTER)
        try:
            self.server.listen(ips, node.port)
        except OSError as exc:
            catalog.close()
            raise StartupError(EXIT_NET_ERROR, "Failed to set up listener: SocketException: %s"
                               % (exc.strerror or exc))
        self.server.serve()
        threading.Thread(target=self._announce, name="Uptime-reporter", daemon=True).start()
        log.log("NETWORK", "Waiting for connections", port=node.port,
                ssl="off" if tls_mode == "disabled" else "on", bindIp=names)

    def _announce(self):
        while not self.node.stopping.is_set():
            try:
                self.node.catalog.announce(self.node.host_name(), self.node.start_time)
            except Exception as exc:  # the config servers may be away for a while
                log.log("SHARDING", "Could not record this router in config.mongos",
                        severity="W", error=str(exc))
            self.node.stopping.wait(PING_INTERVAL)

    def wait_and_stop(self):
        self._wait_then_close_connections()
        self.node.catalog.close()
        self._log_exit()


def main(argv):
    options, status = parse_options(argv, "mongos", USAGE, "mongos")
    if options is None:
        return status
    program = argv[0] if argv else "mongos"
    configdb = options.get("sharding.configDB")
    if not configdb:
        return bad_options(program, "BadValue: error: no args for --configdb")
    try:
        set_name, _ = parse_connection_string(configdb)
    except ValueError as exc:
        return bad_options(program, "BadValue: %s" % exc)
    if set_name is None:
        return bad_options(program, "BadValue: configdb supports only replica set connection "
                                    "string")
    return serve("mongos", options, MongosProcess(options), configDB=configdb, cwd=os.getcwd())
