"""The server log: one JSON document per line, shaped like 4.4's structured
log ({"t": {"$date": ...}, "s", "c", "id", "ctx", "msg", "attr"})."""
import datetime
import json
import os
import sys
import threading


class LogSink:
    def __init__(self):
        self._out = sys.stdout
        self._lock = threading.Lock()
        self.quiet = False

    def open_file(self, path, append):
        """Opens the log file; without append an existing log is renamed
        aside with a time suffix, as mongod rotates it."""
        if not append and os.path.exists(path):
            stamp = datetime.datetime.now().strftime("%Y-%m-%dT%H-%M-%S")
            os.replace(path, "%s.%s" % (path, stamp))
        self._out = open(path, "a", encoding="utf-8")

    def log(self, component, msg, severity="I", ctx=None, **attr):
        now = datetime.datetime.now(datetime.timezone.utc).astimezone()
        entry = {"t": {"$date": now.isoformat(timespec="milliseconds")},
                 "s": severity, "c": component, "id": 0,
                 "ctx": ctx or threading.current_thread().name, "msg": msg}
        if attr:
            entry["attr"] = attr
        line = json.dumps(entry, default=str)
        with self._lock:
            try:
                self._out.write(line + "\n")
                self._out.flush()
            except (OSError, ValueError):
                pass

    def close(self):
        if self._out not in (sys.stdout, sys.stderr):
            self._out.close()


log = LogSink()
