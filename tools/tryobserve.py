"""What plugwatch-try sees of a running plug-in: the supervisor runs in a
private namespace with a small trace preloaded (tools/trace/pwtry-trace.c)
that writes a line for every worker it executes, every child it reaps, every
kill and every shell command, with the real time. Starts and ends are read
from there, so every one is counted with its pid and options however short
the life; the run file's event lines and the console are shown as they come."""

import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

import exitcodes
import pwsandbox
import tryoutput
import trystate

PASS_CODES = exitcodes.EXIT_CODES
# Real seconds between two looks at a running worker's CPU, memory and
# descriptors.
SAMPLE_EVERY = 0.25
KILLED_FOR_PASS = "killed for a restart of all"
# An install's outcome as the state file gives it, in words.
OUTCOME_WORDS = {
    "no_package": "no package at the plug-in's package path or the shared one: nothing installed",
    "unpacked": "unpacked into data/",
    "unpack_failed": "the unpack failed: nothing is booted from data/",
    "stored": "stored as data/init.bin",
    "store_failed": "not stored: copying it to data/init.bin failed",
    "deleted": "the package was discarded, as asked",
    "record_unreadable": "not installed: the boot-check record could not be read or written",
    "running": "still installing when the run ended",
}
INSTALLED = ("unpacked", "stored")
EXEC_FAILED = re.compile(r"^failed to exec (?P<path>.*), error is (?P<why>.*)$")


def decode(status):
    """(exited, code) of a wait status."""
    if status & 0x7f == 0:
        return True, (status >> 8) & 0xff
    return False, status & 0x7f


def zombie(pid):
    """Whether the process is gone or a zombie."""
    try:
        return pwsandbox.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()[0] == "Z"
    except (OSError, IndexError):
        return True


def cpu_seconds(pid):
    """Real CPU seconds (user and system) the process has used, also as a
    zombie; None when it is gone."""
    try:
        fields = pwsandbox.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


def shq(s):
    return "'" + s.replace("'", "'\\''") + "'"


class Run:
    """The plug-in running in its namespace, and what was seen of it. Times
    are seconds of the plug-in's clock since the supervisor started."""

    def __init__(self, plugin_dir, name, watched, supervisor, speed, faketime, trace_lib, daemon_arg=None):
        self.name, self.speed = name, speed
        # Slot by slot as configured; checks look at each program once (a
        # name twice is one program, its alive file kept if either asks).
        self.slots = list(watched)
        keeps = {}
        for n, k in watched:
            keeps[n] = keeps.get(n, False) or k
        self.watched = list(keeps.items())
        base = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                            "plugwatch-try")
        os.makedirs(base, exist_ok=True)
        self.scratch = tempfile.mkdtemp(prefix=name + "-", dir=base)
        self.app = os.path.join(self.scratch, "nodra", "apps", name)
        shutil.copytree(plugin_dir, self.app, symlinks=True)
        os.makedirs(os.path.join(self.app, "data"), exist_ok=True)
        shutil.copy(supervisor, os.path.join(self.app, "files", name))
        self.out = os.path.join(self.scratch, "out")
        os.makedirs(self.out)
        self.trace = os.path.join(self.out, "trace")
        with open(os.path.join(self.out, "prepare.sh"), "w") as f:
            f.write("mount --bind %s /nodra\n" % shq(os.path.join(self.scratch, "nodra")))
        self.output = tryoutput.Output()
        self.env = dict(os.environ, PW_PRELOAD=faketime + ":" + trace_lib,
                        PW_FAKETIME=pwsandbox.faketime_spec(speed), PW_TMP_SIZE="64m", PWTRY_TRACE=self.trace,
                        PWTRY_OUTPUT=self.output.name)
        self.faketime = faketime
        # The argument the platform may give the supervisor: workers then get -d.
        self.daemon_arg = daemon_arg
        # (plug-in seconds, bytes of data/) from which its growth is judged:
        # the start, and again after each install (what a package brings is
        # no wear).
        self.data_mark = (0.0, self.tree_bytes("data"))
        self.proc = self.init = self.sup = None
        self.t0 = None
        self.runs = {n: [] for n, _ in watched}
        self.by_pid = {}              # inner pid -> run, until it is reaped
        self.names = {}               # inner pid -> worker name, for good
        self.kills = {}               # inner pid -> "main" or "thread"
        self.passes, self.notices, self.installs = [], [], []
        self.offsets = {"stdout": 0, "run": 0, "trace": 0}
        self.cwd_line_seen = False
        self.ended = None             # (time, status, last console line) of the supervisor's end
        self.stopping = False         # the tool itself sent SIGTERM
        self.console = []
        self.lineage = {}             # host pid -> the worker whose process tree it was seen in
        # The supervisor's own facts, from its state file as it changes.
        self.facts = None
        self.slot_of = {}             # inner pid -> slot
        self.state_installs = []      # [(code, outcome, began)] as the state file told them, newest last
        self._state_text = None

    def clock(self, t=None):
        return ((time.time() if t is None else t) - self.t0) * self.speed

    def start(self):
        cmd = pwsandbox.unshare_prefix() + [pwsandbox.INIT, self.out, self.name,
                                            "/nodra/apps/%s/files/%s" % (self.name, self.name), "/"]
        if self.daemon_arg is not None:
            cmd.append(self.daemon_arg)
        # The clock starts as the namespace does: nothing is seen before.
        self.t0 = time.time()
        self.proc = subprocess.Popen(cmd, env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.init = pwsandbox.first_child(self.proc.pid)
        deadline = time.time() + 10
        while not os.path.exists(os.path.join(self.out, "pid")):
            if time.time() > deadline:
                raise RuntimeError("the namespace did not start the supervisor")
            time.sleep(0.01)
        self.sup = pwsandbox.host_pid(self.init, int(pwsandbox.read(os.path.join(self.out, "pid"))))

    def stop(self):
        if self.proc is not None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()
            self.proc = None

    def keep_run_file(self):
        """Copies the run file out of the namespace's private /tmp into the
        scratch copy's out/ folder, before the namespace goes."""
        try:
            shutil.copy("/proc/%d/root/tmp/.uci/%s.run" % (self.init, self.name), self.out)
        except (OSError, TypeError):
            pass

    def output_totals(self):
        """{worker: (lines, bytes, newest lines)} of what its processes wrote."""
        totals = {name: (0, 0, []) for name in self.runs}
        for pid, (lines, size, newest) in self.output.totals().items():
            name = self.names.get(pid)
            if name in totals:
                old = totals[name]
                totals[name] = (old[0] + lines, old[1] + size, (old[2] + newest)[-tryoutput.RING_LINES:])
        return totals

    def cleanup(self):
        self.output.close()
        for runs in self.runs.values():
            for r in runs:
                self._close_pidfd(r)
        self.stop()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def supervisor_running(self):
        return self.ended is None

    def _new_lines(self, key, path):
        try:
            with open(path, "rb") as f:
                f.seek(self.offsets[key])
                data = f.read()
        except OSError:
            return []
        end = data.rfind(b"\n") + 1
        self.offsets[key] += end
        return data[:end].decode(errors="replace").splitlines()

    # --- following ---------------------------------------------------------

    def poll(self, say):
        """Reports what happened since the last call, each thing at its time,
        in the order of those times whatever source told it."""
        told = []
        try:
            self._poll(lambda t, text: told.append((t, text)))
        finally:
            for t, text in sorted(told, key=lambda e: e[0]):
                say(t, text)

    def _poll(self, say):
        now = self.clock()
        self._note_deaths(now)
        for line in self._new_lines("trace", self.trace):
            self._trace(line.split("\t"), say)
        for t, pid, line, skipped in self.output.take_shown():
            name = self.names.get(pid, "pid %d" % pid)
            if skipped:
                say(self.clock(t), "output    %s: ... %d line%s not shown (too many to show)"
                    % (name, skipped, "" if skipped == 1 else "s"))
            say(self.clock(t), "output    %s: %s" % (name, line))
        for line in self._new_lines("stdout", os.path.join(self.out, "stdout")):
            self.console.append((now, line))
            self._console(now, line)
            say(now, "console   %s" % line)
        run_file = "/proc/%d/root/tmp/.uci/%s.run" % (self.init, self.name)
        for line in self._new_lines("run", run_file):
            if not self.cwd_line_seen:
                self.cwd_line_seen = True       # the working directory
                continue
            m = re.match(r"^(?P<name>.*) is not alive, and we will kill it\.$", line)
            if m:
                self.notices.append((now, m.group("name")))
            m = re.match(r"^.*: upgrade package \S+ refused: (?P<why>.*)$", line)
            if m and self.installs and self.installs[-1]["boot"] is None:
                self.installs[-1]["refused"] = m.group("why")
            say(now, "run file  %s" % line)
        self._note_names()
        self.read_state()
        status = os.path.join(self.out, "status")
        if self.ended is None and os.path.exists(status):
            last = self.console[-1][1] if self.console else "(nothing)"
            self.ended = (now, int(pwsandbox.read(status)), last)
            if self.stopping:
                say(now, "supervisor stopped by SIGTERM")
            else:
                say(now, "supervisor ended with status %d; its last message: %s" % (self.ended[1], last))

    def state_path(self):
        return "/proc/%d/root/tmp/.uci/%s.state" % (self.init, self.name)

    def read_state(self):
        """Takes in the state file when it changed: the slot of every pid
        it names, and each install's outcome as the supervisor gave it."""
        try:
            text = trystate.read(self.state_path())
        except (OSError, TypeError, UnicodeDecodeError):
            return
        if text is None or text == self._state_text:
            return
        facts = trystate.parse(text)
        if facts is None:
            return
        self._state_text, self.facts = text, facts
        for slot, pid in facts.pids.items():
            if pid > 0:
                self.slot_of[pid] = slot
        if facts.install is not None:
            code, outcome, began = facts.install
            if self.state_installs and self.state_installs[-1][::2] == (code, began):
                changed = self.state_installs[-1] != facts.install
                self.state_installs[-1] = facts.install
            else:
                changed = True
                self.state_installs.append(facts.install)
            if changed and outcome != "running":
                self.data_mark = (self.clock(), self.tree_bytes("data"))

    def _trace(self, f, say):
        if len(f) < 3:
            return
        if f[0] == "start":
            # The plug-in clock's zero is the supervisor's start, not the namespace's.
            self.t0 = float(f[1])
            return
        t = self.clock(float(f[1]))
        if f[0] == "exec" and len(f) >= 5:
            self._started(t, int(f[2]), f[4], f[5:], say)
        elif f[0] == "reap" and len(f) >= 4:
            self._reaped(t, int(f[2]), int(f[3]), f[4] if len(f) > 4 else "", say)
        elif f[0] == "kill" and len(f) >= 5:
            self.kills[int(f[2])] = f[4]

    def _started(self, t, pid, program, args, say):
        name = program[len("../data//"):] if program.startswith("../data//") else program
        if name not in self.runs:
            return
        run = {"t": t, "pid": pid, "host_pid": None, "args": args, "end": None, "cause": None,
               "boot": "data/" if program.startswith("../data//") else "files/", "runs_as": None}
        self.runs[name].append(run)
        self.by_pid[pid] = (name, run)
        self.names[pid] = name
        self._follow_install(t, run)
        say(t, "start     %s pid %d %s" % (name, pid, " ".join(args) or "(no options)"))

    def _reaped(self, t, pid, status, comm, say):
        if pid not in self.by_pid:
            return                          # a shell the supervisor ran
        name, run = self.by_pid.pop(pid)
        self._ran_as(run, comm)
        self._close_pidfd(run)
        # The end is when the process died; the reap can come much later,
        # when the reaping loop was sleeping out another worker's delay.
        died = run.get("died")
        run["reaped"] = t
        if died is not None and died < t:
            run["waited"] = t - died
            t = died
        exited, code = decode(status)
        killer = self.kills.pop(pid, None)
        if exited:
            cause = "exit %d" % code
        elif code == 9 and killer == "thread":
            cause = "watchdog"
        elif code == 9 and killer == "main":
            cause = KILLED_FOR_PASS
        else:
            cause = "SIGSEGV" if code == 11 else "signal %d" % code
        run["end"], run["cause"] = t, cause
        if exited and code in PASS_CODES:
            self.passes.append({"t": t, "code": code, "by": name})
            if code in (130, 131):
                self.installs.append({"t": t, "code": code, "by": name, "boot": None, "missing": [],
                                      "fell_back": False, "gave_up": False})
        # Told when collected, so that lines stay in time order; the death
        # came earlier when the reaping loop was sleeping.
        waited = run.get("waited", 0)
        say(run["reaped"], "end       %s pid %d: %s%s" % (
            name, pid, cause, ", ended at %.1f s" % t if waited >= 1 else ""))

    def _follow_install(self, t, run):
        """Follows the newest install to its result: the first start after it
        shows where the workers booted from."""
        if self.installs and self.installs[-1]["boot"] is None:
            self.installs[-1]["boot"] = run["boot"]

    def _console(self, t, line):
        if not self.installs:
            return
        install = self.installs[-1]
        m = EXEC_FAILED.match(line)
        if m and m.group("path").startswith("../data//"):
            install["missing"].append((m.group("path")[9:], m.group("why")))
        elif line == "failed boot, then clean bootchk, and try again":
            install["fell_back"] = True
        elif line == "failed for normal boot, exit":
            install["gave_up"] = True

    def install_outcome(self, install):
        """The outcome the supervisor gave the install in its state file, or
        None when the file did not tell it (a later install came too soon)."""
        mine = [i for i in self.installs if i["code"] == install["code"]]
        told = [o for code, o, _ in self.state_installs if code == install["code"]]
        if len(mine) != len(told):
            return None
        return told[mine.index(install)]

    def install_result(self, install):
        """What became of an install, in words."""
        words = []
        outcome = self.install_outcome(install)
        refused = install.get("refused") or (self.facts.refused[1] if outcome == "refused" and self.facts and
                                             self.facts.refused else None)
        if refused:
            words.append("the package was refused (%s): nothing installed" % refused)
        elif outcome in OUTCOME_WORDS:
            words.append(OUTCOME_WORDS[outcome])
        elif install["code"] == 130:
            if install["boot"] == "data/":
                words.append("unpacked into data/ and booted from there")
            elif install["boot"] == "files/":
                words.append("not booted from data/ (the unpack failed, or the record is older than the supervisor)")
        else:
            stored = os.path.exists(os.path.join(self.app, "data", "init.bin"))
            words.append("stored as data/init.bin" if stored else "not stored")
        if outcome == "unpacked":
            words[-1] += " and booted from there" if install["boot"] == "data/" else \
                ", but not booted from there (the record is older than the supervisor?)" if install["boot"] else ""
        for name, why in install["missing"]:
            words.append("%s could not start from data/ (%s): missing from the package?" % (name, why))
        if install["fell_back"]:
            words.append("the boot from data/ failed: record deleted, fell back to files/")
        if install["gave_up"]:
            words.append("the supervisor gave up")
        if install["boot"] is None and not install["gave_up"]:
            words.append("no start since")
        return words

    def _ran_as(self, run, comm):
        """Notes the name a worker's process has (what killall sees). The
        last name seen counts: a script passes through its interpreters'
        names before it settles. Still the supervisor's own name means the
        child has not executed anything (yet)."""
        if comm and comm != self.name[:15]:
            run["runs_as"] = comm

    def _note_names(self):
        """The names the running workers' processes have now; the name each
        ended under comes with its reap."""
        running = [r for runs in self.runs.values() for r in runs if r["end"] is None]
        if not running or self.sup is None:
            return
        inner = {}
        for pid in pwsandbox.children(self.sup):
            try:
                inner[pwsandbox.inner_pid(pid)] = pid
            except OSError:
                pass
        for r in running:
            host = inner.get(r["pid"])
            if host is None:
                continue
            try:
                comm = pwsandbox.read("/proc/%d/comm" % host).strip()
            except OSError:
                continue
            if r["host_pid"] is None and "died" not in r and hasattr(os, "pidfd_open"):
                try:
                    r["pidfd"] = os.pidfd_open(host)
                except OSError:
                    pass
            r["host_pid"] = host
            self._sample(r, host)
            self._ran_as(r, comm)
            self._note_tree(host, self.by_pid.get(r["pid"], (None,))[0])

    def _sample(self, r, host):
        """The process's CPU time, peak memory and open descriptors, at most
        every SAMPLE_EVERY real seconds."""
        now = time.time()
        if now - r.get("sampled", 0) < SAMPLE_EVERY:
            return
        r["sampled"] = now
        cpu = cpu_seconds(host)
        if cpu is not None:
            r["cpu"] = cpu
        try:
            status = pwsandbox.read("/proc/%d/status" % host)
            m = re.search(r"^VmHWM:\s+(\d+) kB", status, re.M)
            if m:
                r["peak_kb"] = max(r.get("peak_kb", 0), int(m.group(1)))
            r["fds"] = max(r.get("fds", 0), len(os.listdir("/proc/%d/fd" % host)))
        except OSError:
            pass

    def tree_bytes(self, where):
        """Bytes of the files under the plug-in's data/ ("data") or the
        run's /tmp ("tmp"), now."""
        root = os.path.join(self.app, "data") if where == "data" else "/proc/%d/root/tmp" % self.init
        total = 0
        for d, _, names in os.walk(root):
            for n in names:
                try:
                    total += os.lstat(os.path.join(d, n)).st_size
                except OSError:
                    pass
        return total

    def _note_deaths(self, now):
        """Notes the death of every running worker whose pidfd has become
        readable: that happens when it dies, before anyone reaps it."""
        open_fds = {r["pidfd"]: r for runs in self.runs.values() for r in runs if r.get("pidfd") is not None}
        if not open_fds:
            return
        readable, _, _ = select.select(list(open_fds), [], [], 0)
        for fd in readable:
            open_fds[fd]["died"] = now
            self._close_pidfd(open_fds[fd])

    @staticmethod
    def _close_pidfd(run):
        if run.get("pidfd") is not None:
            os.close(run["pidfd"])
            run["pidfd"] = None

    def _note_tree(self, host, worker):
        """Notes every process in a running worker's tree as that worker's,
        so that one left behind is named by where it came from."""
        if worker is None:
            return
        todo = [host]
        while todo:
            pid = todo.pop()
            self.lineage.setdefault(pid, worker)
            todo += pwsandbox.children(pid)

    # --- the namespace -------------------------------------------------------

    def stop_supervisor(self, wait):
        """Sends the supervisor SIGTERM; its workers get SIGTERM from the
        kernel. Waits up to wait real seconds for them and records how each
        running one ended. Returns [(worker, run, real seconds or None, real
        CPU seconds it used after SIGTERM)]."""
        self._note_names()
        running = [(n, r) for n, runs in self.runs.items() for r in runs
                   if r["end"] is None and r["host_pid"] and not zombie(r["host_pid"])]
        watch = {}
        for n, r in running:
            try:
                watch[os.pidfd_open(r["host_pid"])] = (n, r, cpu_seconds(r["host_pid"]))
            except (OSError, AttributeError):
                pass
        try:
            sup_fd = os.pidfd_open(self.sup)
        except (OSError, AttributeError):
            sup_fd = None
        self.stopping = True
        os.kill(self.sup, signal.SIGTERM)
        went = time.time()
        # The workers' SIGTERM comes with the supervisor's death: time their
        # ends from there, not from the tool's kill.
        if sup_fd is not None:
            select.select([sup_fd], [], [], wait)
            os.close(sup_fd)
            went = time.time()
        gone = []
        # A pidfd becomes readable when its process ends: each end is timed
        # to the millisecond, not to a polling interval.
        while watch and time.time() - went < wait:
            readable, _, _ = select.select(list(watch), [], [], max(0.0, wait - (time.time() - went)))
            now = time.time()
            for fd in readable:
                n, r, cpu = watch.pop(fd)
                after = cpu_seconds(r["host_pid"])
                os.close(fd)
                r["end"], r["cause"] = self.clock(now), "SIGTERM"
                gone.append((n, r, now - went, max(0.0, after - cpu) if after is not None and cpu is not None else 0.0))
        left = []
        for fd, (n, r, _) in watch.items():
            os.close(fd)
            r["end"], r["cause"] = self.clock(), "refused SIGTERM"
            left.append((n, r, None, 0.0))
        return gone + left

    def record(self):
        path = os.path.join(self.app, "data", ".bootchk")
        return pwsandbox.read(path) if os.path.exists(path) else None

    def ns_shell(self, script, timeout):
        return subprocess.run(pwsandbox.nsenter_prefix(self.init) + ["bash", "-c", script],
                              capture_output=True, text=True, timeout=timeout)

    def strays(self):
        """Processes left in the namespace once the supervisor and its
        workers have had their time to end: every process in the namespace's
        tree but its first process and what that waits in, whatever its name.
        [(pid, worker it came from or None, command line)]."""
        found = []
        todo = [(pid, None) for pid in pwsandbox.children(self.init)]
        while todo:
            pid, parent_owner = todo.pop()
            try:
                stat = pwsandbox.read("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
                cmd = pwsandbox.read("/proc/%d/cmdline" % pid).replace("\0", " ").strip()
                comm = pwsandbox.read("/proc/%d/comm" % pid).strip()
            except (OSError, IndexError):
                continue
            if stat[0] == "Z" or pid == self.sup and self.ended is None:
                continue
            if comm == "sleep" and cmd == "sleep infinity" and int(stat[1]) == self.init:
                continue                    # what the first process waits in
            words = cmd.split(" ")
            # Seen in a worker's tree, a child of a process left by one, or
            # named after one.
            owner = self.lineage.get(pid) or parent_owner or next(
                (n for n in self.runs if comm == n[:15] or n in words or any(w.endswith("/" + n) for w in words)),
                None)
            todo += [(kid, owner) for kid in pwsandbox.children(pid)]
            found.append((pid, owner, cmd or comm))
        return found
