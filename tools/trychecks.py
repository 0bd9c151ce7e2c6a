"""plugwatch-try's protocol checks, as verdicts on what tryobserve saw. Each
result is a Result; its verdict is True (PASS), False (FAIL) or None (not
run)."""

import collections
import os
import shutil
import signal
import time

import exitcodes
import pwsandbox
from tryobserve import KILLED_FOR_PASS, PASS_CODES, shq

Result = collections.namedtuple("Result", "check worker verdict seen")

CHECK_PERIOD = 120          # seconds of the plug-in clock between alive checks
TERM_GRACE = 5.0            # real seconds a worker may take to leave on SIGTERM
# A segfault's signal number, every exit code that asks for something, and
# the watchdog's code: every restart code a pass can hand on.
RESTART_CODES = tuple(sorted({int(signal.SIGSEGV)} | set(PASS_CODES) | set(exitcodes.RESTART_CODES)))
CHECKS = {1: "configuration accepted", 2: "programs the kernel can start",
          3: "stays up three watchdog periods", 4: "leaves on SIGTERM", 5: "copes with every restart code",
          6: "leaves no process behind", 7: "keeps its output within reason"}
# More than this, on average over the run, is a flood: a gateway's console or
# log would suffer it too.
FLOOD_LINES_PER_MINUTE = 600
FLOOD_BYTES_PER_MINUTE = 64 * 1024


# --- before the run ----------------------------------------------------------

def kernel_start_problem(path, machine):
    """Why the kernel could not execute path (execv: no shell fallback), or
    None. machine: the (class, byte order, machine) of this system's ELF."""
    with open(path, "rb") as f:
        head = f.read(256)
    if head.startswith(b"\x7fELF"):
        got = pwsandbox.elf_machine(path)
        return None if got == machine else "built for another architecture (ELF %s, this machine %s)" % (got, machine)
    if not head.startswith(b"#!"):
        return "neither a program nor a script with a #! line: the kernel cannot start it (exec format error)"
    line = head[2:].split(b"\n", 1)[0]
    if line.endswith(b"\r"):
        return "its #! line ends in \\r (CRLF line ends): the kernel looks for %r" % line.strip(b" \t").decode(errors="replace")
    words = line.decode(errors="replace").split()
    if not words:
        return "its #! line names no interpreter"
    if not (os.path.isfile(words[0]) and os.access(words[0], os.X_OK)):
        return "its interpreter %s is missing" % words[0]
    if os.path.basename(words[0]) == "env" and len(words) > 1 and not words[1].startswith("-") \
            and shutil.which(words[1]) is None:
        return "its interpreter %s is not on the search path" % words[1]
    return None


def process_name_warning(path, name):
    """A warning when the worker's process will not carry its name."""
    with open(path, "rb") as f:
        line = f.read(256).split(b"\n", 1)[0]
    words = line[2:].decode(errors="replace").split() if line.startswith(b"#!") else []
    if len(words) > 1 and os.path.basename(words[0]) == "env":
        return ("%s: started through %s, it runs as %s, not %s: killall by name misses it (the supervisor's "
                "kill by pid still reaches it)" % (name, " ".join(words), os.path.basename(words[1]), name))
    if len(name) > 15:
        return "%s: its process name is cut to %s (the kernel keeps 15 characters)" % (name, name[:15])
    return None


# --- while and after it runs ---------------------------------------------------

def request_code(cause):
    """The exit code of an end that asks the supervisor for something (not a
    failed boot), or None."""
    if cause and cause.startswith("exit "):
        code = int(cause.split()[1])
        if code in PASS_CODES and code != 129:
            return code
    return None


def check_uptime(run, results):
    """Every worker stays up three watchdog periods; an exit that asks the
    supervisor for something is a request, not a failure, and neither is
    being killed for the restart of all that follows one."""
    window = 3 * CHECK_PERIOD
    for name, keeps in run.watched:
        runs = run.runs[name]
        if not runs:
            results.append(Result(3, name, False, "never seen running"))
            continue
        for r in runs:
            code = request_code(r["cause"])
            if code is not None:
                results.append(Result(3, name, True, "exit %d at %.0f s: a request (%s)" % (code, r["end"], PASS_CODES[code])))
        bad = [r for r in runs if r["end"] is not None and r["end"] - runs[0]["t"] < window
               and r["cause"] != KILLED_FOR_PASS and request_code(r["cause"]) is None]
        if keeps and any(r["cause"] == "watchdog" for r in runs):
            results.append(Result(3, name, False, "killed by the watchdog for its alive file"))
        elif bad:
            waited = bad[0].get("waited", 0)
            results.append(Result(3, name, False, "ended after %.0f s of the plug-in clock (%s)%s" % (
                bad[0]["end"] - bad[0]["t"], bad[0]["cause"],
                "; collected %.0f s later, while the reaping loop slept out another worker's delay" % waited
                if waited >= 5 else "")))
        else:
            results.append(Result(3, name, True, "up for %d s%s" % (window, ", alive file kept" if keeps else "")))


def check_term(run, results):
    """Stops the supervisor with SIGTERM: every running worker gets SIGTERM
    from the kernel and must end within TERM_GRACE seconds."""
    ended = run.stop_supervisor(TERM_GRACE)
    for name, _, seconds in ended:
        if seconds is None:
            results.append(Result(4, name, False, "still running %.0f s after SIGTERM" % TERM_GRACE))
        else:
            results.append(Result(4, name, True, "ended %.1f s after SIGTERM" % seconds))
    for name, _ in run.watched:
        if name not in [n for n, _, _ in ended]:
            results.append(Result(4, name, True, "not running when the supervisor went"))


def check_strays(run, results):
    """No worker leaves processes behind when it ends or is killed. What the
    kernel is still ending gets a moment to go."""
    deadline = time.time() + 1.0
    strays = run.strays()
    while strays and time.time() < deadline:
        time.sleep(0.05)
        strays = run.strays()
    for name, _ in run.watched:
        mine = [(pid, cmd) for pid, owner, cmd in strays if owner == name]
        if mine:
            results.append(Result(6, name, False, "left %d process%s behind after the supervisor and its workers ended: %s" % (
                len(mine), "es" if len(mine) > 1 else "", "; ".join("%d %s" % m for m in mine[:3]))))
        else:
            results.append(Result(6, name, True, "nothing left behind"))
    others = [(pid, cmd) for pid, owner, cmd in strays if owner is None]
    if others:
        results.append(Result(6, "?", False, "processes of no known worker left behind: %s"
                         % "; ".join("%d %s" % m for m in others[:3])))


DATA_OPTIONS = ["-T", "/tmp/.uci/", "-D", "../data/", "-O", "velmar_rtos510"]
# A restart-code run is watched this long on the plug-in clock: one watchdog
# period and a tenth.
CODE_WATCH = CHECK_PERIOD * 1.1


def boot_modes(run):
    """The boot modes to try: files/, and data/ for the workers that have a
    program there (shipped with the plug-in, or unpacked during the run)."""
    data = [name for name, _ in run.watched if os.access(os.path.join(run.app, "data", name), os.X_OK)]
    return [("files/", [name for name, _ in run.watched])] + ([("data/", data)] if data else [])


def start_line(run, i, name, keeps, code, mode):
    """Shell text that starts a worker exactly as a pass of the supervisor
    would: its program path as argument zero, then -r, -A and the data
    directory's options."""
    program = "../data//" + name if mode == "data/" else name
    args = ["-r", str(code)] + (["-A", "/tmp/.uci//%s.alive" % name] if keeps else [])
    args += DATA_OPTIONS if mode == "data/" else []
    path = program if mode == "data/" else "./" + name
    # The worker runs on the plug-in clock; the shell that watches it does not.
    clock = "export LD_PRELOAD=%s FAKETIME=%s" % (shq(run.faketime), shq(pwsandbox.faketime_spec(run.speed)))
    return ("(%s; exec -a %s %s %s) >/tmp/pwtry-out.%d 2>&1 </dev/null & p%d=$!; echo \"@@ %d pid $p%d\""
            % (clock, shq(program), shq(path), " ".join(shq(a) for a in args), i, i, i, i))


def try_code(run, mode, names, code, say):
    """Starts every worker of names with code, watches them CODE_WATCH
    plug-in seconds, and returns {name: (pid, None or exit status, output)}
    for those it could start."""
    keeps = dict(run.watched)
    period = CODE_WATCH / run.speed
    lines = ["cd /nodra/apps/%s/files || exit 1" % shq(run.name)]
    lines += [start_line(run, i, n, keeps[n], code, mode) for i, n in enumerate(names)]
    lines.append("sleep %.2f" % period)
    for i, _ in enumerate(names):
        lines.append("if kill -0 $p%d 2>/dev/null && ! grep -q '^State:.*Z' /proc/$p%d/status; then "
                     "echo '@@ %d running'; else wait $p%d; echo \"@@ %d ended $?\"; fi" % (i, i, i, i, i))
    lines.append("kill %s 2>/dev/null; sleep 0.2; kill -9 %s 2>/dev/null; wait" % (
        " ".join("$p%d" % i for i in range(len(names))), " ".join("$p%d" % i for i in range(len(names)))))
    for i, _ in enumerate(names):
        lines.append("tail -n 5 /tmp/pwtry-out.%d | sed 's/^/@%d /'" % (i, i))
    try:
        out = run.ns_shell("\n".join(lines), timeout=period + 30).stdout
    except Exception as e:       # a timeout: the code counts as not tried
        say(run.clock(), "restart code %d from %s: %s" % (code, mode, e))
        return {}
    seen = {}
    for line in out.splitlines():
        head, _, rest = line.partition(" ")
        if head == "@@":
            i, what, *value = rest.split()
            name = names[int(i)]
            pid, ended, output = seen.get(name, (None, None, []))
            if what == "pid":
                pid = int(value[0])
            elif what == "ended":
                ended = int(value[0])
            seen[name] = (pid, ended, output)
        elif head.startswith("@") and head[1:].isdigit() and int(head[1:]) < len(names):
            name = names[int(head[1:])]
            seen.setdefault(name, (None, None, []))[2].append(rest)
            say(run.clock(), "output    [-r %d %s] %s: %s" % (code, mode, name, rest))
    return {n: v for n, v in seen.items() if v[0] is not None}


def describe_status(status):
    return "killed by signal %d" % (status - 128) if status > 128 else "exit %d" % status


def check_restart_codes(run, results, say):
    """Every worker, started with each restart code exactly as a pass would
    start it (from files/, and from data/ where it has a program there),
    still runs a watchdog period later on the plug-in clock. Every line names
    the code, the worker and the pid observed."""
    for mode, names in boot_modes(run):
        tried = {name: {} for name in names}
        for code in RESTART_CODES:
            for name, seen in try_code(run, mode, names, code, say).items():
                tried[name][code] = seen
        for name in names:
            ok = []
            for code in RESTART_CODES:
                if code not in tried[name]:
                    results.append(Result(5, name, None, "-r %d from %s: not run: the worker could not be started "
                                    "in time" % (code, mode)))
                    continue
                pid, ended, output = tried[name][code]
                if ended is None:
                    ok.append("%d (pid %d)" % (code, pid))
                else:
                    results.append(Result(5, name, False, "-r %d from %s: pid %d ended within %.0f s: %s%s" % (
                        code, mode, pid, CODE_WATCH, describe_status(ended),
                        "; its output: " + " | ".join(output[-3:]) if output else "")))
            if ok:
                results.append(Result(5, name, True, "from %s up %.0f s after starting with -r %s" % (
                    mode, CODE_WATCH, ", ".join(ok))))


def check_output(run, results, plugin_seconds):
    """No worker floods its output."""
    minutes = max(plugin_seconds, 1.0) / 60
    for name, (lines, size, newest) in run.output_totals().items():
        seen = "wrote %d line%s (%d KiB) in %.0f s of the plug-in clock" % (
            lines, "" if lines == 1 else "s", size // 1024, plugin_seconds)
        if lines / minutes > FLOOD_LINES_PER_MINUTE or size / minutes > FLOOD_BYTES_PER_MINUTE:
            results.append(Result(7, name, False, "%s, %.0f lines a minute: a flood (newest: %s)"
                            % (seen, lines / minutes, newest[-1][:80] if newest else "-")))
        else:
            results.append(Result(7, name, True, seen))
