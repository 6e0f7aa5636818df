"""Finding and stopping server processes by their data directory."""
import os
import signal
import time

LOCK_FILE = "mongod.lock"
STOP_GRACE = 10.0


def lock_pid(dbpath):
    """The pid a running server wrote into dbpath's mongod.lock, or None."""
    try:
        with open(os.path.join(dbpath, LOCK_FILE)) as f:
            text = f.read().strip()
        return int(text) if text else None
    except (OSError, ValueError):
        return None


def alive(pid):
    """True while pid runs (a zombie counts as gone)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def is_mongod_of(pid, dbpath):
    """True when pid holds dbpath's lock file open, i.e. is the server of that
    directory (guards against a reused pid in a stale lock file)."""
    lock = os.path.realpath(os.path.join(dbpath, LOCK_FILE))
    fd_dir = "/proc/%d/fd" % pid
    try:
        fds = os.listdir(fd_dir)
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink(os.path.join(fd_dir, fd)) == lock:
                return True
        except OSError:
            continue
    return False


def runs_with(pid, argument):
    """True when pid's command line holds argument (guards against a reused
    pid in a stale state file)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return argument.encode() in f.read().split(b"\0")
    except OSError:
        return False


def stop(pids, grace=STOP_GRACE):
    """SIGTERM, then SIGKILL after the grace period; returns once all are gone."""
    for pid in pids:
        _signal(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while any(alive(p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in pids:
        if alive(pid):
            _signal(pid, signal.SIGKILL)
    while any(alive(p) for p in pids):
        time.sleep(0.02)


def _signal(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass
