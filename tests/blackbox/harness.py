"""Black-box harness: runs the real plugwatch binary over a scratch plug-in
tree, in a mount and PID namespace of its own (private /tmp and /nodra), under
libfaketime acceleration, with shell-script workers that record their argument
vector, working directory and open descriptors."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import pwsandbox  # noqa: E402
from pwsandbox import namespace_mode, read, unshare_prefix  # noqa: E402,F401

BINARY = os.environ.get("PLUGWATCH_BIN", "")
SCRATCH = os.environ.get("PLUGWATCH_SCRATCH", os.path.join(os.getcwd(), "bbscratch"))
FAKETIME_LIB = os.environ.get(
    "PLUGWATCH_FAKETIME_LIB", "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1")
# A user-mode emulator to run a cross-built binary with (e.g. "qemu-arm -L
# /usr/arm-linux-gnueabihf"), and the time-shifting library for its guest.
EMULATOR = os.environ.get("PLUGWATCH_EMULATOR", "")
if EMULATOR:
    # By absolute path: a test may run the supervisor with a bare PATH.
    EMULATOR = " ".join([shutil.which(EMULATOR.split()[0]) or EMULATOR.split()[0]] + EMULATOR.split()[1:])
FAULT_FORK_LIB = os.environ.get("PLUGWATCH_FAULT_FORK_LIB", "")
GUEST_FAKETIME_LIB = os.environ.get("PLUGWATCH_GUEST_FAKETIME_LIB", "")
# Threads the emulator itself adds to the supervisor's process.
EMULATOR_THREADS = 1 if EMULATOR else 0
NSINIT = pwsandbox.INIT
# asctime text without its newline, e.g. "Tue Mar  5 09:41:07 2024".
ASCTIME = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}"

# Workers run on real time whatever the supervisor runs on (a time-shifting
# preload of another word size could not share its clock), so they scale their
# own sleeps by PW_SPEED and record real times, which the harness scales back.
WORKER_PREAMBLE = r"""#!/bin/sh
unset LD_PRELOAD FAKETIME FAKETIME_SHARED
[ -n "$PW_WORKER_PATH" ] && PATH=$PW_WORKER_PATH
sleep() {{ command sleep "$(awk -v s="$1" -v k="${{PW_SPEED:-1}}" 'BEGIN {{ printf "%.3f", s / k }}')"; }}
R='{rec}'
W='{name}'
ls -l /proc/$$/fd >"$R/fds.$$" 2>&1
pwd -P >"$R/cwd.$$"
printf '%s\n' "$0" "$@" >"$R/argv.$$"
T=$(printf '\t')
echo "start$T$W$T$$$T$(date +%s.%N)$T$*" >>"$R/events"
trap 'echo "term$T$W$T$$" >>"$R/events"; exit 143' TERM
ulimit -c 0
N=$(grep -c "^start$T$W$T" "$R/events")
ALIVE=''
prev=''
for a in "$@"; do
    [ "$prev" = "-A" ] && ALIVE=$a
    prev=$a
done
idle() {{ while :; do sleep 100 & wait $!; done; }}
finish() {{ echo "end$T$W$T$$$T$(date +%s.%N)$T$1" >>"$R/events"; exit "$1"; }}
crash() {{ echo "end$T$W$T$$$T$(date +%s.%N)${{T}}sig$1" >>"$R/events"; trap - TERM; kill -"$1" $$; sleep 100 & wait $!; }}
keep_alive() {{ while :; do [ -n "$ALIVE" ] && : >"$ALIVE"; sleep "$1" & wait $!; done; }}
"""


class Event:
    """One line a worker wrote: kind, name, pid, time (real seconds scaled by
    the supervisor's speed, so differences read as the supervisor's seconds)
    and the rest (arguments or exit code)."""

    def __init__(self, line, speed=1):
        parts = line.split("\t")
        self.kind = parts[0]
        self.name = parts[1] if len(parts) > 1 else ""
        self.pid = int(parts[2]) if len(parts) > 2 else 0
        try:
            self.time = float(parts[3]) * speed
        except (IndexError, ValueError):
            self.time = None
        self.rest = parts[4] if len(parts) > 4 else ""

    def __repr__(self):
        return "Event(%s %s %s %s %s)" % (self.kind, self.name, self.pid, self.time, self.rest)


class Plugin:
    """A scratch plug-in tree: <root>/<name>/files with config and workers,
    <root>/<name>/data, and a record folder the workers write into."""

    def __init__(self, name="pwtest", config=None, workers=None, speed=100, root=None):
        """root: the application root of another plug-in, to lie beside it."""
        os.makedirs(SCRATCH, exist_ok=True)
        self.root = root or tempfile.mkdtemp(prefix="case-", dir=SCRATCH)
        self.name = name
        self.plugin_dir = os.path.join(self.root, name)
        self.files = os.path.join(self.plugin_dir, "files")
        self.data = os.path.join(self.plugin_dir, "data")
        suffix = "." + name if root else ""
        self.rec = os.path.join(self.root, "rec" + suffix)
        self.out = os.path.join(self.root, "out" + suffix)
        for d in (self.files, self.data, self.rec, self.out):
            os.makedirs(d, exist_ok=True)
        self.speed = speed
        self.proc = None
        self.init_pid = None
        if config is not None:
            self.write_config(config)
        for wname, body in (workers or {}).items():
            self.add_worker(wname, body)

    # --- building the tree -------------------------------------------------

    def write_config(self, text):
        with open(os.path.join(self.files, "config"), "w") as f:
            f.write(text)

    def worker_script(self, name, body):
        return WORKER_PREAMBLE.format(rec=self.rec, name=name.replace("'", "'\\''")) + body + "\n"

    def add_worker(self, name, body, directory=None):
        path = os.path.join(directory or self.files, name)
        with open(path, "w") as f:
            f.write(self.worker_script(name, body))
        os.chmod(path, 0o755)
        return path

    def add_program(self, name, binary):
        """A compiled worker program. Built for an emulated target, it is
        started through the emulator by a script of the same name, which hands
        the supervisor's clock on to the guest."""
        path = os.path.join(self.files, name)
        if not EMULATOR:
            shutil.copy(binary, path)
            return path
        with open(path, "w") as f:
            f.write('#!/bin/sh\npre=$LD_PRELOAD clock=$FAKETIME\nunset LD_PRELOAD FAKETIME FAKETIME_SHARED\n'
                    'exec %s -0 "$0" -E LD_PRELOAD="$pre" -E FAKETIME="$clock" %s "$@"\n'
                    % (EMULATOR, shell_quote(binary)))
        os.chmod(path, 0o755)
        return path

    def make_package(self, workers, path=None, files=None):
        """A gzip'd tar archive of worker scripts (and of files: name ->
        bytes), as an upgrade would ship them; returns its path."""
        staging = tempfile.mkdtemp(dir=self.root)
        for name, body in workers.items():
            self.add_worker(name, body, directory=staging)
        for name, content in (files or {}).items():
            with open(os.path.join(staging, name), "wb") as f:
                f.write(content)
        path = path or os.path.join(self.root, "package.tgz")
        # Owned by root in the archive, so that unpacking as root works in a
        # user namespace too, where only our own id is mapped.
        subprocess.run(["tar", "czf", path, "--owner=0", "--group=0", "-C", staging] + list(workers) + list(files or {}),
                       check=True)
        return path

    def prepare(self, script):
        """Shell text run inside the namespace before the supervisor starts."""
        with open(os.path.join(self.out, "prepare.sh"), "a") as f:
            f.write(script + "\n")

    # --- running -----------------------------------------------------------

    def start(self, argv0=None, args=(), cwd=None, inherit_fd=False, binary=None, tmp_size=None,
              preload=(), env_extra=None, path=None, clock="+0", beside=None):
        """Starts the supervisor in a new namespace, or in the namespace of
        the plug-in beside (a second plug-in on the same gateway). preload:
        more libraries to load into it; env_extra: more environment for it;
        path: its own PATH (the workers keep the test's); clock: where
        libfaketime starts its clock (an offset, or "@" and a date)."""
        if not BINARY:
            raise RuntimeError("PLUGWATCH_BIN is not set")
        binary = binary or os.path.join(self.files, self.name)
        if not os.path.exists(binary):
            shutil.copy(BINARY, binary)
        if argv0 is None:
            argv0 = binary
        env = dict(os.environ)
        env["PW_PRELOAD"] = ":".join([GUEST_FAKETIME_LIB if EMULATOR else FAKETIME_LIB] + list(preload))
        env["PW_WORKER_PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
        if path is not None:
            env["PW_SUPERVISOR_PATH"] = path
        env.update(env_extra or {})
        env["PW_FAKETIME"] = pwsandbox.faketime_spec(self.speed, clock)
        env["PW_SPEED"] = str(self.speed)
        # Sanitizer builds: reports go to files the test checks afterwards,
        # and AddressSanitizer accepts the time-shifting library loaded first.
        log = os.path.join(self.out, "sanitizer")
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=1:log_path=" + log
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:log_path=" + log
        env["TSAN_OPTIONS"] = "second_deadlock_stack=1:log_path=" + log
        # ThreadSanitizer keeps a file of its own in TMPDIR (else /tmp):
        # not in the private /tmp that some cases fill up.
        env["TMPDIR"] = "/dev/shm"
        env["PW_EMULATOR"] = EMULATOR
        if inherit_fd:
            env["PW_INHERIT_FD"] = "1"
            with open(os.path.join(self.out, "inherited"), "w") as f:
                f.write("inherited\n")
        if tmp_size:
            env["PW_TMP_SIZE"] = tmp_size
        prefix = unshare_prefix()
        if beside is not None:
            env["PW_JOIN"] = "1"
            prefix = pwsandbox.nsenter_prefix(beside.init_pid)
        cmd = prefix + [NSINIT, self.out, argv0, binary, cwd or self.root] + list(args)
        self.proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.init_pid = self._find_init()
        self.wait_until(lambda: os.path.exists(os.path.join(self.out, "pid")), 10, "supervisor start")
        return self

    def _find_init(self):
        return pwsandbox.first_child(self.proc.pid)

    def stop(self):
        if self.proc is not None:
            try:
                self.proc.send_signal(signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=10)
            self.proc = None

    def ns_path(self, path):
        """A path as the processes inside the namespace see it."""
        return "/proc/%d/root%s" % (self.init_pid, path)

    def command_line(self, binary, argv0=None):
        """Shell text that starts binary with argument zero argv0 (under the
        emulator when there is one)."""
        argv0 = argv0 or binary
        if EMULATOR:
            return "exec %s -0 %s %s" % (EMULATOR, shell_quote(argv0), shell_quote(binary))
        return "exec -a %s %s" % (shell_quote(argv0), shell_quote(binary))

    def ns_run(self, shell, timeout=30):
        """Runs shell text inside the namespace and returns the result."""
        return subprocess.run(pwsandbox.nsenter_prefix(self.init_pid) + ["bash", "-c", shell],
                              capture_output=True, text=True, timeout=timeout)

    def supervisor_pid(self):
        """The supervisor's process id as seen from outside."""
        return pwsandbox.host_pid(self.init_pid, int(read(os.path.join(self.out, "pid"))))

    # --- observing ---------------------------------------------------------

    def sanitizer_reports(self):
        return [read(os.path.join(self.out, f)) for f in sorted(os.listdir(self.out))
                if f.startswith("sanitizer")]

    def status(self):
        p = os.path.join(self.out, "status")
        return int(read(p)) if os.path.exists(p) else None

    def wait_exit(self, timeout=30):
        self.wait_until(lambda: self.status() is not None, timeout, "supervisor exit")
        return self.status()

    def stdout(self):
        return read(os.path.join(self.out, "stdout"))

    def uci(self, name):
        return self.ns_path("/tmp/.uci/" + name)

    def boot_record(self):
        """The boot-check record's text, or None when there is none."""
        path = self.ns_path(os.path.join(self.data, ".bootchk"))
        return read(path) if os.path.exists(path) else None

    def run_file(self):
        """The run file's text; None when there is none or it is no regular
        file (a FIFO would block the reader)."""
        p = self.uci(self.name + ".run")
        return read(p) if os.path.isfile(p) else None

    def events(self):
        p = os.path.join(self.rec, "events")
        if not os.path.exists(p):
            return []
        return [Event(line, self.speed) for line in read(p).splitlines() if line]

    def starts(self, name=None):
        return [e for e in self.events() if e.kind == "start" and (name is None or e.name == name)]

    def argv(self, pid):
        return read(os.path.join(self.rec, "argv.%d" % pid)).split("\n")[:-1]

    def cwd(self, pid):
        return read(os.path.join(self.rec, "cwd.%d" % pid)).strip()

    def fds(self, pid):
        """Descriptor number -> link target of a worker at its start."""
        result = {}
        for line in read(os.path.join(self.rec, "fds.%d" % pid)).splitlines():
            m = re.search(r" (\d+) -> (.*)$", line)
            if m:
                result[int(m.group(1))] = m.group(2)
        return result

    def wait_until(self, cond, timeout=30, what="condition"):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if cond():
                return
            time.sleep(0.02)
        raise AssertionError("timed out waiting for %s\nstdout:\n%s\nevents:\n%s\nrun file:\n%s" % (
            what, self.stdout() if os.path.exists(os.path.join(self.out, "stdout")) else "",
            "\n".join(map(repr, self.events())), self.run_file_safe()))

    def state_file(self):
        """The state file's text."""
        return read(self.uci(self.name + ".state"))

    def run_file_safe(self):
        try:
            return self.run_file()
        except OSError:
            return None

    def wait_starts(self, count, name=None, timeout=30):
        self.wait_until(lambda: len(self.starts(name)) >= count, timeout,
                        "%d starts of %s" % (count, name or "any worker"))
        return self.starts(name)




class PlugwatchCase(unittest.TestCase):
    """Base class: plug-ins made through self.plugin() are torn down, namespace
    and all, after each test."""

    def setUp(self):
        self._plugins = []

    def tearDown(self):
        reports = []
        # Plug-ins beside another share its root: every report is read
        # before any root goes.
        for p in self._plugins:
            p.stop()
            reports += p.sanitizer_reports()
        for p in self._plugins:
            if not os.environ.get("PLUGWATCH_KEEP_SCRATCH"):
                shutil.rmtree(p.root, ignore_errors=True)
        self.assertEqual(reports, [], "sanitizer reports")

    def plugin(self, *args, **kwargs):
        p = Plugin(*args, **kwargs)
        self._plugins.append(p)
        return p

    @staticmethod
    def watch(*entries):
        """A config text with one "processes" entry per (base, excheck) pair."""
        items = []
        for entry in entries:
            base, excheck = entry if isinstance(entry, tuple) else (entry, None)
            item = '{"base": %s' % json_string(base)
            if excheck is not None:
                item += ', "excheck": %s' % excheck
            items.append(item + "}")
        return '{"__watch": {"processes": [%s]}}' % ", ".join(items)


def shell_quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def json_string(s):
    import json
    return json.dumps(s)
