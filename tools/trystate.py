"""The supervisor's own facts, from its state file (/tmp/.uci/NAME.state,
"key value..." lines, texts with "\\xHH" escapes): which slot each pid is,
the newest install and its outcome, each slot's counted ends and watchdog
misses, and when the file was written. Times are the supervisor's, so on the
plug-in clock; a reader passes over keys it does not know."""

import os
import re

ESCAPE = re.compile(r"\\x([0-9a-fA-F]{2})")


def unescape(text):
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), text)


def read(path):
    """The file's text as one write left it, or None. The supervisor swaps a
    refilled spare in at each write and refills the file it swapped out at
    the write after, so a reading holds when the name still names the file
    read."""
    for _ in range(3):
        with open(path, errors="replace") as f:
            text = f.read()
            if os.stat(path).st_ino == os.fstat(f.fileno()).st_ino:
                return text
    return None


def _ints(words):
    try:
        return [int(w) for w in words]
    except ValueError:
        return None


class Facts:
    """What one reading of the state file says."""

    def __init__(self):
        self.written = None          # epoch seconds, plug-in clock
        self.pids = {}               # slot -> pid (0 none, -1 a failed start)
        self.names = {}              # slot -> name
        self.ends = {}               # slot -> {"exit 3": n, "signal 11": n, "watchdog": n, "other": n}
        self.misses = {}             # slot -> watchdog checks missed in a row
        self.install = None          # (code, outcome, began) of the newest install
        self.refused = None          # (count, reason) of refused packages


def parse(text):
    """Facts of a state file's text; None when it is not one."""
    lines = text.splitlines()
    if not lines or lines[0] != "plugwatch-state 1":
        return None
    f = Facts()
    for line in lines[1:]:
        w = line.split(" ")
        if w[0] == "written" and len(w) == 3 and _ints(w[1:]):
            f.written = int(w[1])
        elif w[0] == "install" and len(w) == 7 and _ints(w[1:2] + w[3:]):
            f.install = (int(w[1]), w[2], int(w[3]))
        elif w[0] == "refused" and len(w) == 5 and _ints(w[1:4]):
            f.refused = (int(w[1]), unescape(w[4]))
        elif w[0] == "worker" and len(w) >= 3 and _ints(w[1:2]):
            _worker(f, int(w[1]), w[2], w[3:])
    return f


def _worker(f, slot, key, values):
    if key == "pid" and len(values) == 1 and _ints(values):
        f.pids[slot] = int(values[0])
    elif key == "name":
        f.names[slot] = unescape(values[0]) if values else ""
    elif key == "misses" and len(values) == 1 and _ints(values):
        f.misses[slot] = int(values[0])
    elif key == "ends":
        counts = {}
        for v in values:
            kind, _, n = v.partition("=")
            if not n.isdigit():
                continue
            how, _, code = kind.partition(":")
            label = "watchdog" if how == "watchdog" else "other" if how == "other" else "%s %s" % (how, code)
            counts[label] = counts.get(label, 0) + int(n)
        f.ends[slot] = counts
