"""The workers' own output, as plugwatch-try reads it: the preloaded trace
connects each worker's standard output and error to an abstract Unix socket
of the run's, one connection per worker process, which starts with the
worker's pid. A thread reads every connection as it comes, however much a
worker writes: memory holds the newest lines of each worker (RING_LINES) and
lines to show are rate-limited (SHOW_PER_SECOND per worker), the rest only
counted; nothing of it is written to disk."""

import collections
import os
import selectors
import socket
import threading
import time

RING_LINES = 200            # newest lines kept per worker process
SHOW_PER_SECOND = 20        # lines shown per worker process and real second
LINE_CAP = 1000             # characters of a line kept and shown
PID_LINE_CAP = 32           # bytes the first line (the pid) may take
CHUNK = 1 << 16


class Stream:
    """What one worker process wrote."""

    def __init__(self):
        self.pid = None
        self.head = b""            # bytes before the pid line has ended
        self.partial = b""         # the start of a line not yet ended
        self.lines = 0
        self.bytes = 0
        self.ring = collections.deque(maxlen=RING_LINES)
        self.tokens = float(SHOW_PER_SECOND)
        self.refilled = time.time()
        self.skipped = 0           # lines not shown since the last one shown


class Output:
    """The listening socket and the thread that reads the workers' output."""

    def __init__(self):
        self.name = "pwtry-%d-%s" % (os.getpid(), os.urandom(6).hex())
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind("\0" + self.name)
        self.listener.listen(64)
        self.lock = threading.Lock()
        self.streams = []
        self.shown = []            # (real time, pid, line or None, skipped before it)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ, None)
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        self.selector.close()

    def _run(self):
        while not self.stopping:
            for key, _ in self.selector.select(timeout=0.1):
                if key.data is None:
                    conn, _ = self.listener.accept()
                    conn.setblocking(False)
                    stream = Stream()
                    with self.lock:
                        self.streams.append(stream)
                    self.selector.register(conn, selectors.EVENT_READ, stream)
                    continue
                try:
                    data = key.fileobj.recv(CHUNK)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if not data:
                    self._drop(key)
                    self._take(key.data, b"\n" if key.data.partial else b"")
                    continue
                if not self._take(key.data, data):
                    # Not the trace's connection (no pid first): only it goes.
                    self._drop(key)

    def _drop(self, key):
        self.selector.unregister(key.fileobj)
        key.fileobj.close()

    def _take(self, stream, data):
        """Counts a chunk, keeps its newest lines and shows what the rate
        allows. Only the chunk's last lines are split out: a flood costs a
        count, not a line each. False for a connection that does not start
        with a pid line."""
        now = time.time()
        if stream.pid is None:
            stream.head += data
            if b"\n" not in stream.head:
                return len(stream.head) <= PID_LINE_CAP
            first, data = stream.head.split(b"\n", 1)
            if not first.isdigit():
                return False
            stream.pid = int(first)
        stream.bytes += len(data)
        ended = data.count(b"\n")
        if not ended:
            stream.partial = (stream.partial + data)[:LINE_CAP]
            return True
        stream.lines += ended
        stream.tokens = min(SHOW_PER_SECOND, stream.tokens + (now - stream.refilled) * SHOW_PER_SECOND)
        stream.refilled = now
        pieces = data.rsplit(b"\n", min(ended, RING_LINES))
        newest = pieces[1:-1] if len(pieces) > 1 else []
        if len(pieces) - 1 == ended:        # the chunk's first line ends here too
            newest = [stream.partial + pieces[0]] + newest
        stream.partial = pieces[-1][:LINE_CAP]
        texts = [p[:LINE_CAP].decode(errors="replace") for p in newest]
        stream.ring.extend(texts)
        # The newest lines the rate allows are shown; the rest are counted.
        kept = texts[-int(stream.tokens):] if stream.tokens >= 1 else []
        stream.tokens -= len(kept)
        with self.lock:
            skipped = stream.skipped + ended - len(kept)
            for i, text in enumerate(kept):
                self.shown.append((now, stream.pid, text, skipped if i == 0 else 0))
            stream.skipped = 0 if kept else skipped
        return True

    def take_shown(self):
        """The lines to show since the last call: (real time, pid, line,
        lines of that process not shown before it)."""
        with self.lock:
            shown, self.shown = self.shown, []
        return shown

    def totals(self):
        """{pid: (lines, bytes, newest lines)} of every worker process."""
        with self.lock:
            return {s.pid: (s.lines, s.bytes, list(s.ring)) for s in self.streams if s.pid is not None}
