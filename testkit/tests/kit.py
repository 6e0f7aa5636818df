"""Helpers for the kit's own tests: the tool directory, servers started in
throw-away directories, and a clean-up that leaves no process behind."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, SOURCE)

from mongokit.cluster import Cluster, free_port, make_tool_dir  # noqa: E402,F401
from mongokit.procs import alive, lock_pid, stop  # noqa: E402,F401

BIN = os.environ.get("TESTKIT_BIN") or os.path.join(SOURCE, "bin")
MONGOC_PROBE = os.environ.get("MONGOC_PROBE")
PYTHON = "/usr/bin/python3"


def tool(name, bin_dir=None):
    return os.path.join(bin_dir or BIN, name)


def run(args, stdin=None, timeout=60, env=None):
    """Runs a program with an almost empty environment, as the module does."""
    return subprocess.run(args, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout,
                          env=env if env is not None else {"LD_LIBRARY_PATH": "/lib:/usr/lib"})


def sh(line, timeout=60):
    """Runs a shell line (quoting, redirections, here-documents) as the
    module's tool runner does, with an almost empty environment."""
    return subprocess.run(["/bin/sh", "-c", line], stdout=subprocess.PIPE, text=True,
                          timeout=timeout, env={"LD_LIBRARY_PATH": "/lib:/usr/lib"})


def wait_gone(pid, timeout=15):
    deadline = time.monotonic() + timeout
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not alive(pid)


def kill_under(root):
    """Kills every process whose command line names a path under root."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if any(a.startswith(root.encode()) for a in argv) and int(entry) != os.getpid():
            try:
                os.kill(int(entry), signal.SIGKILL)
            except ProcessLookupError:
                pass


class SharedRootCase(unittest.TestCase):
    """Gives a test class one temporary directory for fixtures it starts
    once (setUpClass); kills whatever was started under it at the end."""

    @classmethod
    def setUpClass(cls):
        cls.class_root = tempfile.mkdtemp(prefix="mongokit-test-")
        cls.addClassCleanup(shutil.rmtree, cls.class_root, True)
        cls.addClassCleanup(kill_under, cls.class_root)


class KitTestCase(unittest.TestCase):
    """Gives each test a temporary directory and kills whatever it started."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="mongokit-test-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.addCleanup(kill_under, self.root)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start_mongod(self, name="db", ip="127.0.0.1", port=None, extra=(), bin_dir=None,
                     expect_ok=True):
        """Starts a forked mongod; returns (port, dbpath, completed process)."""
        dbpath = self.path(name)
        os.makedirs(dbpath, exist_ok=True)
        port = port or free_port(ip)
        proc = run([tool("mongod", bin_dir), "--dbpath", dbpath, "--port", str(port),
                    "--bind_ip", ip, "--logpath", self.path(name + ".log"), "--logappend",
                    "--fork"] + list(extra))
        if expect_ok:
            self.assertEqual(proc.returncode, 0, proc.stdout)
            self.addCleanup(self.stop_mongod, dbpath)
        return port, dbpath, proc

    def stop_mongod(self, dbpath):
        pid = lock_pid(dbpath)
        if pid and alive(pid):
            stop([pid])

    def client(self, ip, port, **kwargs):
        import pymongo
        kwargs.setdefault("serverSelectionTimeoutMS", 5000)
        client = pymongo.MongoClient(ip, port, directConnection=True, **kwargs)
        self.addCleanup(client.close)
        return client

    def cluster(self, **kwargs):
        cluster = Cluster(self.path(kwargs.pop("name", "rs")), **kwargs)
        self.addCleanup(cluster.down)
        cluster.up()
        return cluster


def wait_for(predicate, timeout=20, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for %s" % what)


def to_json(value):
    return json.dumps(value, default=str)


def port_open(ip, port):
    try:
        socket.create_connection((ip, port), timeout=1).close()
        return True
    except OSError:
        return False
