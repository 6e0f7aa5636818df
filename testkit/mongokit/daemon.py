"""--fork as mongod does it: the parent prints the server's pid, waits until
the server accepts connections (or fails), and exits with the server's
status; the server detaches from the parent's terminal and output."""
import os
import sys


class ForkReporter:
    """The server side of the fork: tells the waiting parent how start-up went."""

    def __init__(self, fd):
        self.fd = fd

    def _send(self, text):
        if self.fd is None:
            return
        try:
            os.write(self.fd, text.encode())
        except OSError:
            pass

    def ready(self):
        self._send("ok\n")
        self.close()

    def failed(self, code):
        self._send("fail %d\n" % code)
        self.close()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def fork_server():
    """Returns a ForkReporter in the server process; the original process
    never returns from here (it exits with the outcome)."""
    sys.stdout.flush()
    sys.stderr.flush()
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid > 0:
        os.close(write_fd)
        os.waitpid(pid, 0)  # the intermediate process exits at once
        _parent_wait(read_fd)
    os.close(read_fd)
    os.setsid()
    if os.fork() > 0:
        os._exit(0)
    os.write(write_fd, ("pid %d\n" % os.getpid()).encode())
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    os.close(devnull)
    return ForkReporter(write_fd)


def _parent_wait(read_fd):
    print("about to fork child process, waiting until server is ready for connections.",
          flush=True)
    data = b""
    while True:
        chunk = os.read(read_fd, 4096)
        if not chunk:
            break
        data += chunk
    os.close(read_fd)
    lines = data.decode(errors="replace").split()
    status, code, child = None, 1, None
    for i, word in enumerate(lines):
        if word == "pid" and i + 1 < len(lines):
            child = lines[i + 1]
        elif word == "ok":
            status = "ok"
        elif word == "fail" and i + 1 < len(lines):
            status, code = "fail", int(lines[i + 1])
    if child:
        print("forked process: %s" % child, flush=True)
    if status == "ok":
        print("child process started successfully, parent exiting", flush=True)
        os._exit(0)
    print("ERROR: child process failed, exited with error number %d" % code)
    print('To see additional information in this output, start without the "--fork" option.',
          flush=True)
    os._exit(code or 1)
