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
import tryobserve
from tryobserve import KILLED_FOR_PASS, PASS_CODES, shq

Result = collections.namedtuple("Result", "check worker verdict seen")

CHECK_PERIOD = 120          # seconds of the plug-in clock between alive checks
TERM_GRACE = 5              # seconds of the plug-in clock a worker may take to leave on SIGTERM
TERM_WAIT = 5.0             # real seconds the tool waits for them at most
# Real seconds within which the machine's own delays (scheduling, the
# kernel's signal to each worker) hide how long an end took.
TERM_RESOLUTION = 0.05
# Every watching phase of --check covers this many watchdog periods, and a
# margin, on the plug-in clock: a worker that stops renewing its alive file
# is killed within four.
WATCH_PERIODS = 4
WATCH_MARGIN = 30
# A segfault's signal number, every exit code that asks for something, and
# the watchdog's code: every restart code a pass can hand on.
RESTART_CODES = tuple(sorted({int(signal.SIGSEGV)} | set(PASS_CODES) | set(exitcodes.RESTART_CODES)))
CHECKS = {1: "configuration accepted", 2: "programs the kernel can start",
          3: "stays up, every end of the run judged", 4: "leaves on SIGTERM", 5: "copes with every restart code",
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
    """Every end of every worker in the whole run, as the supervisor saw it:
    an end that asks for something is a request, not a failure, unless the
    requests come faster than one a watchdog period (a storm); being killed
    for the restart of all that follows one is neither; any other end fails,
    whenever it happens. A worker whose alive file the supervisor found
    missing at the end has not kept it."""
    end = run.ended[0] if run.ended else run.clock()
    for name, keeps in run.watched:
        runs = run.runs[name]
        if not runs:
            results.append(Result(3, name, False, "never seen running"))
            continue
        requests = [r for r in runs if request_code(r["cause"]) is not None]
        failed = [r for r in runs if r["end"] is not None and r["cause"] != KILLED_FOR_PASS
                  and request_code(r["cause"]) is None]
        longest = max((r["end"] if r["end"] is not None else end) - r["t"] for r in runs)
        verdict = True
        if failed:
            verdict = False
            results.append(Result(3, name, False, ended_text(run, failed)))
        if requests:
            storm = len(requests) >= 3 and len(requests) > end / CHECK_PERIOD
            verdict = verdict and not storm
            results.append(Result(3, name, not storm, requests_text(requests, end, storm)))
        misses = max([n for slot, n in (run.facts.misses.items() if run.facts else [])
                      if slot < len(run.slots) and run.slots[slot][0] == name] or [0])
        if keeps and misses > 0 and not failed:
            verdict = False
            results.append(Result(3, name, False, "its alive file was missing at the last %d watchdog check%s "
                                  "when the run ended (%s): not kept%s" % (
                                      misses, "" if misses == 1 else "s", "3 in a row are a kill",
                                      cpu_note(run, runs[-1]))))
        if verdict:
            results.append(Result(3, name, True, "up for %.0f s at most (measured, %d start%s), %s" % (
                longest, len(runs), "" if len(runs) == 1 else "s",
                "alive file kept" if keeps else "no alive file to keep")))


def ended_text(run, failed):
    """The ends that were no request: how many of each kind, and the first."""
    kinds = {}
    for r in failed:
        kinds[r["cause"]] = kinds.get(r["cause"], 0) + 1
    first = failed[0]
    text = "%d end%s that %s no request (%s); the first at %.0f s, after %.0f s up (%s)" % (
        len(failed), "" if len(failed) == 1 else "s", "was" if len(failed) == 1 else "were",
        ", ".join("%s x%d" % k for k in kinds.items()), first["end"], first["end"] - first["t"], first["cause"])
    waited = first.get("waited", 0)
    if waited >= 5:
        text += "; collected %.0f s later, while the reaping loop slept out another worker's delay" % waited
    if first["cause"] == "watchdog":
        text += ": killed by the watchdog for its alive file" + cpu_note(run, first)
    return text


def requests_text(requests, end, storm):
    kinds = {}
    for r in requests:
        code = request_code(r["cause"])
        kinds[code] = kinds.get(code, 0) + 1
    what = ", ".join("exit %d x%d (%s)" % (c, n, PASS_CODES[c]) for c, n in kinds.items())
    if storm:
        return "a storm of requests: %d in %.0f s (%s), more than one a watchdog period: every worker is " \
               "restarted each time" % (len(requests), end, what)
    return "%d request%s, no failure: %s, the first at %.0f s" % (
        len(requests), "" if len(requests) == 1 else "s", what, requests[0]["end"])


def cpu_note(run, r):
    """When the process's real CPU time, stretched by the speed, explains a
    late alive file: says so, and at which speed its work would fit."""
    cpu = r.get("cpu", 0.0)
    if cpu * run.speed < CHECK_PERIOD / 2:
        return ""
    fits = max(1, int(CHECK_PERIOD / 2 / cpu))
    return ("; it used %.1f s of real CPU, which x%d stretches to %.0f s of the plug-in clock: on a gateway "
            "as fast as this machine, --speed %d shows whether it keeps up" % (cpu, run.speed, cpu * run.speed, fits))


def check_term(run, results):
    """Stops the supervisor with SIGTERM: every running worker gets SIGTERM
    from the kernel and must end within TERM_GRACE seconds of the plug-in
    clock. Ends quicker than the machine can tell at this speed pass, with
    the speed that would judge them."""
    ended = run.stop_supervisor(max(TERM_GRACE / run.speed, TERM_WAIT))
    for name, _, seconds, cpu in ended:
        if seconds is None:
            results.append(Result(4, name, False, "still running %.0f s of the plug-in clock after SIGTERM"
                                  % (TERM_WAIT * run.speed)))
            continue
        plugin = seconds * run.speed
        if plugin <= TERM_GRACE:
            results.append(Result(4, name, True, "ended %.1f s after SIGTERM" % plugin))
        elif seconds <= TERM_RESOLUTION:
            results.append(Result(4, name, True, "ended %.1f s after SIGTERM, within what x%d tells apart from the "
                                  "machine's own delays (%.0f s): --speed %d judges it to the second" % (
                                      plugin, run.speed, TERM_RESOLUTION * run.speed,
                                      int(TERM_GRACE / TERM_RESOLUTION))))
        else:
            note = ""
            if cpu * run.speed > TERM_GRACE:
                note = ("; it used %.2f s of real CPU after SIGTERM, which x%d stretches to %.0f s: at --speed %d "
                        "it would end in time on a gateway as fast as this machine"
                        % (cpu, run.speed, cpu * run.speed, max(1, int(TERM_GRACE / cpu))))
            results.append(Result(4, name, False, "ended %.1f s after SIGTERM, more than %d s%s" % (
                plugin, TERM_GRACE, note)))
    for name, _ in run.watched:
        if name not in [n for n, _, _, _ in ended]:
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


# Starts a worker as its parent and writes its pid, then its raw wait status:
# a shell's $? cannot tell an exit 139 from a segfault, the supervisor can.
WRAPPER = """import os, sys
out, pid_file, status_file, path, argv0 = sys.argv[1:6]
pid = os.fork()
if pid == 0:
    try:
        fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(fd, 1)
        os.dup2(fd, 2)
        os.execv(path, [argv0] + sys.argv[6:])
    finally:
        os._exit(127)
with open(pid_file, "w") as f:
    f.write(str(pid))
status = os.waitpid(pid, 0)[1]
with open(status_file, "w") as f:
    f.write(str(status))
"""


def start_line(run, i, name, keeps, code, mode):
    """Shell text that starts a worker exactly as a pass of the supervisor
    would: its program path as argument zero, then -r, -A and the data
    directory's options."""
    program = "../data//" + name if mode == "data/" else name
    args = ["-r", str(code)] + (["-d"] if run.daemon_arg is not None else [])
    args += ["-A", "/tmp/.uci//%s.alive" % name] if keeps else []
    args += DATA_OPTIONS if mode == "data/" else []
    path = program if mode == "data/" else "./" + name
    # The worker runs on the plug-in clock; the shell that watches it does not.
    clock = "export LD_PRELOAD=%s FAKETIME=%s" % (shq(run.faketime), shq(pwsandbox.faketime_spec(run.speed)))
    return ("rm -f /tmp/pwtry-pid.%d /tmp/pwtry-status.%d; (%s; exec python3 -c %s /tmp/pwtry-out.%d "
            "/tmp/pwtry-pid.%d /tmp/pwtry-status.%d %s %s %s) </dev/null >/dev/null 2>&1 &"
            % (i, i, clock, shq(WRAPPER), i, i, i, shq(path), shq(program), " ".join(shq(a) for a in args)))


def try_code(run, mode, names, code, say):
    """Starts every worker of names with code, watches them CODE_WATCH
    plug-in seconds, and returns {name: (pid, None or raw wait status,
    output)} for those it could start."""
    keeps = dict(run.watched)
    period = CODE_WATCH / run.speed
    lines = ["cd /nodra/apps/%s/files || exit 1" % shq(run.name)]
    lines += [start_line(run, i, n, keeps[n], code, mode) for i, n in enumerate(names)]
    lines.append("sleep %.2f" % period)
    for i, _ in enumerate(names):
        lines.append("echo \"@@ %d pid $(cat /tmp/pwtry-pid.%d 2>/dev/null)\"; if [ -s /tmp/pwtry-status.%d ]; "
                     "then echo \"@@ %d ended $(cat /tmp/pwtry-status.%d)\"; else echo '@@ %d running'; fi"
                     % (i, i, i, i, i, i))
    pids = " ".join("$(cat /tmp/pwtry-pid.%d 2>/dev/null)" % i for i in range(len(names)))
    lines.append("kill %s 2>/dev/null; sleep 0.2; kill -9 %s 2>/dev/null; wait" % (pids, pids))
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
            if what == "pid" and value and value[0].isdigit():
                pid = int(value[0])
            elif what == "ended" and value and value[0].isdigit():
                ended = int(value[0])
            seen[name] = (pid, ended, output)
        elif head.startswith("@") and head[1:].isdigit() and int(head[1:]) < len(names):
            name = names[int(head[1:])]
            seen.setdefault(name, (None, None, []))[2].append(rest)
            say(run.clock(), "output    [-r %d %s] %s: %s" % (code, mode, name, rest))
    return {n: v for n, v in seen.items() if v[0] is not None}


def describe_status(status):
    """An end as the supervisor decodes it, from a raw wait status."""
    exited, code = tryobserve.decode(status)
    return "exit %d" % code if exited else "killed by signal %d" % code


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


# More than this written into data/ per hour of the plug-in clock wears a
# gateway's flash.
DATA_BYTES_PER_HOUR = 4 * 1024 * 1024


def check_output(run, results, plugin_seconds):
    """No worker floods its output, and the plug-in does not fill data/."""
    minutes = max(plugin_seconds, 1.0) / 60
    since, size = run.data_mark
    grown = run.tree_bytes("data") - size
    per_hour = grown * 3600 / max(plugin_seconds - since, 60.0)
    seen = "data/ grew by %d KiB in %.0f s of the plug-in clock%s (%d KiB an hour)" % (
        grown // 1024, plugin_seconds - since, " after the last install" if since else "", per_hour // 1024)
    results.append(Result(7, "data/", per_hour <= DATA_BYTES_PER_HOUR, seen if per_hour <= DATA_BYTES_PER_HOUR
                          else seen + ": more than %d MiB an hour wears a gateway's flash"
                          % (DATA_BYTES_PER_HOUR // (1024 * 1024))))
    for name, (lines, size, newest) in run.output_totals().items():
        seen = "wrote %d line%s (%d KiB) in %.0f s of the plug-in clock" % (
            lines, "" if lines == 1 else "s", size // 1024, plugin_seconds)
        if lines / minutes > FLOOD_LINES_PER_MINUTE or size / minutes > FLOOD_BYTES_PER_MINUTE:
            results.append(Result(7, name, False, "%s, %.0f lines a minute: a flood (newest: %s)"
                            % (seen, lines / minutes, newest[-1][:80] if newest else "-")))
        else:
            results.append(Result(7, name, True, seen))
