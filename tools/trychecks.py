"""plugwatch-try's protocol checks. Each result is (check, worker, verdict,
what was seen); the verdict is True (PASS), False (FAIL) or None (not run)."""

import os
import shutil
import time

import pwsandbox
from tryobserve import KILLED_FOR_PASS, PASS_CODES, shq

CHECK_PERIOD = 120          # seconds of the plug-in clock between alive checks
TERM_GRACE = 5.0            # real seconds a worker may take to leave on SIGTERM
RESTART_CODES = (11, 129, 130, 131, 132, 160, 199)
CHECKS = {1: "configuration accepted", 2: "programs the kernel can start",
          3: "stays up three watchdog periods", 4: "leaves on SIGTERM", 5: "copes with every restart code",
          6: "leaves no process behind"}


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
            results.append((3, name, False, "never seen running"))
            continue
        for r in runs:
            code = request_code(r["cause"])
            if code is not None:
                results.append((3, name, True, "exit %d at %.0f s: a request (%s)" % (code, r["end"], PASS_CODES[code])))
        bad = [r for r in runs if r["end"] is not None and r["end"] - runs[0]["t"] < window
               and r["cause"] != KILLED_FOR_PASS and request_code(r["cause"]) is None]
        if keeps and any(r["cause"] == "watchdog" for r in runs):
            results.append((3, name, False, "killed by the watchdog for its alive file"))
        elif bad:
            results.append((3, name, False, "ended after %.0f s of the plug-in clock (%s)" % (
                bad[0]["end"] - bad[0]["t"], bad[0]["cause"])))
        else:
            results.append((3, name, True, "up for %d s%s" % (window, ", alive file kept" if keeps else "")))


def check_term(run, results):
    """Stops the supervisor with SIGTERM: every running worker gets SIGTERM
    from the kernel and must end within TERM_GRACE seconds."""
    ended = run.stop_supervisor(TERM_GRACE)
    for name, _, seconds in ended:
        if seconds is None:
            results.append((4, name, False, "still running %.0f s after SIGTERM" % TERM_GRACE))
        else:
            results.append((4, name, True, "ended %.1f s after SIGTERM" % seconds))
    for name, _ in run.watched:
        if name not in [n for n, _, _ in ended]:
            results.append((4, name, True, "not running when the supervisor went"))


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
            results.append((6, name, False, "left %d process%s behind after the supervisor and its workers ended: %s" % (
                len(mine), "es" if len(mine) > 1 else "", "; ".join("%d %s" % m for m in mine[:3]))))
        else:
            results.append((6, name, True, "nothing left behind"))
    others = [(pid, cmd) for pid, owner, cmd in strays if owner is None]
    if others:
        results.append((6, "?", False, "processes of no known worker left behind: %s"
                         % "; ".join("%d %s" % m for m in others[:3])))


def check_restart_codes(run, results, say):
    """Every worker, started with each restart code as a pass would start
    it, still runs a watchdog period later. Each code is tried on its own,
    and the workers' output is shown."""
    period = CHECK_PERIOD / run.speed + 0.5
    head = ["cd /nodra/apps/%s/files || exit 1" % shq(run.name),
            "export LD_PRELOAD=%s FAKETIME=%s" % (shq(run.faketime), shq(pwsandbox.faketime_spec(run.speed)))]
    seen = {name: {} for name, _ in run.watched}
    for code in RESTART_CODES:
        lines = head + ["pids=''"]
        for i, (name, keeps) in enumerate(run.watched):
            alive = " -A /tmp/.uci//%s.alive" % shq(name) if keeps else ""
            lines.append("(exec -a %s ./%s -r %d%s) >/tmp/pwtry-out.%d 2>&1 </dev/null & pids=\"$pids $!\""
                         % (shq(name), shq(name), code, alive, i))
        lines += ["sleep %.2f" % period, "set -- $pids"]
        for i, (name, _) in enumerate(run.watched):
            lines.append("if kill -0 $1 2>/dev/null && ! grep -q '^State:.*Z' /proc/$1/status; then "
                         "echo %s; else echo %s; fi; shift" % (shq("@@ %s running" % name), shq("@@ %s ended" % name)))
        lines.append("kill $pids 2>/dev/null; sleep 0.2; kill -9 $pids 2>/dev/null; wait")
        for i, (name, _) in enumerate(run.watched):
            lines.append("sed %s /tmp/pwtry-out.%d" % (shq("s|^|[-r %d] %s: |" % (code, name.replace("|", "\\|"))), i))
        try:
            out = run.ns_shell("\n".join(lines), timeout=period + 30).stdout
        except Exception as e:       # a timeout: the code counts as not tried
            out = ""
            say(run.clock(), "restart code %d: %s" % (code, e))
        for line in out.splitlines():
            if line.startswith("@@ "):
                name, state = line[3:].rsplit(" ", 1)
                if name in seen:
                    seen[name][code] = state
            else:
                say(run.clock(), "output    %s" % line)
    for name, _ in run.watched:
        tried = seen[name]
        ended = [c for c in RESTART_CODES if tried.get(c) == "ended"]
        missing = [c for c in RESTART_CODES if c not in tried]
        if ended:
            results.append((5, name, False, "ended when started with -r %s" % ", -r ".join(map(str, ended))))
        elif missing:
            results.append((5, name, None, "could not be tried with -r %s" % ", -r ".join(map(str, missing))))
        else:
            results.append((5, name, True, "copes with -r " + ", ".join(map(str, RESTART_CODES))))
