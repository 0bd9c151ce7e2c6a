"""plugwatch-try --status: what plugwatch-status says of the running plug-in,
asked inside the run's namespace (its /tmp/.uci/ is private to the run) at
the end of the watched time, with every time put on the plug-in clock.

plugwatch-status reads two clocks: process start times and file times from
the kernel (real time), and the times of starts, ends, delays and installs
from the supervisor's state file and run file (the supervisor's clock, the
plug-in's). The tool is run on real time, and each key is turned
into plug-in seconds since the supervisor started by what it comes from."""

import json
import os
import shutil
import time

# Keys of plugwatch-status's JSON that are on the supervisor's clock.
PLUGIN_TIMES = ("events_dropped_before", "restart_due")


def find_status_tool(supervisor):
    """plugwatch-status beside the supervisor, in the build tree, or on PATH."""
    here = os.path.dirname(os.path.realpath(__file__))
    for d in (os.path.dirname(supervisor), os.path.join(here, "..", "build")):
        path = os.path.join(d, "plugwatch-status")
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.realpath(path)
    return shutil.which("plugwatch-status")


def on_plugin_clock(status, run):
    """status with its times as plug-in seconds since the supervisor started
    (keys ending in _s). The kernel's times come in whole seconds, a whole
    speed's worth of plug-in seconds: the start of the supervisor (0) and of
    each worker process are taken from what the run saw instead."""
    real = lambda t: None if t is None else round(run.clock(t), 1)
    plugin = lambda t: None if t is None else round(t - run.t0, 1)
    seen = {r["pid"]: r["t"] for runs in run.runs.values() for r in runs}
    for inst in status.get("instances", []):
        inst.pop("started", None)
        inst["started_s"] = 0.0 if inst.get("running") else None
        for key in PLUGIN_TIMES:
            inst[key + "_s"] = plugin(inst.pop(key, None))
        if inst.get("install"):
            for key in ("began", "ended"):
                inst["install"][key + "_s"] = plugin(inst["install"].pop(key, None))
        if inst.get("package"):
            inst["package"]["mtime_s"] = real(inst["package"].pop("mtime", None))
        for w in inst.get("workers", []):
            started = w.pop("started", None)
            w["started_s"] = round(seen[w["pid"]], 1) if w.get("pid") in seen else plugin(started)
            w["restart_due_s"] = plugin(w.pop("restart_due", None))
            # Counted on real time from a time on the plug-in clock: no sense here.
            w.pop("due_in", None)
            if w.get("last_end"):
                w["last_end"]["time_s"] = plugin(w["last_end"].pop("time", None))
            if w.get("alive_file") and w["alive_file"].get("age") is not None:
                w["alive_file"]["age"] = alive_age(run, w["alive_file"]["path"], w["alive_file"]["age"])
        # From the file itself: its stamps are on the plug-in clock, while
        # plugwatch-status may carry them over to this machine's clock.
        run.read_state()
        written = run.facts.written if run.facts is not None else None
        inst["state_written_s"] = plugin(written)
        starts = [r["t"] for runs in run.runs.values() for r in runs]
        # A state file that stopped changing: its writes fail (a full /tmp).
        inst["state_stale"] = bool(written is not None and starts and max(starts) > plugin(written) + 1)
    return status


def alive_age(run, path, whole_seconds):
    """The alive file's age on the plug-in clock, to the second: from its
    time as the kernel keeps it, not from the tool's whole real seconds."""
    try:
        return round((time.time() - os.stat("/proc/%d/root%s" % (run.init, path)).st_mtime) * run.speed)
    except (OSError, TypeError):
        return round(whole_seconds * run.speed)


def ask(run, tool):
    """plugwatch-status's view of the run's plug-in, on the plug-in clock, or
    a reason why there is none."""
    if tool is None:
        return None, "no plugwatch-status beside the supervisor, in the build tree or on PATH"
    r = run.ns_shell("%s --json %s" % (tool, run.name), timeout=30)
    try:
        return on_plugin_clock(json.loads(r.stdout), run), None
    except ValueError:
        return None, "plugwatch-status said nothing readable (status %d): %s" % (r.returncode, r.stderr.strip())


def print_view(status, why):
    print("\n== plugwatch-status, times in seconds of the plug-in clock since the supervisor started")
    if status is None:
        print("not asked: %s" % why)
        return
    for inst in status.get("instances", []):
        print("%s: %s" % (inst.get("name"), "run (pid %s) since +0 s" % inst.get("pid") if inst.get("running")
                          else "down"))
        if inst.get("state_stale"):
            print("  STALE: the state file was written last at +%s s, and workers started since: its writes fail "
                  "(a full /tmp?), so what follows is old" % inst.get("state_written_s"))
        for w in inst.get("workers", []):
            bits = []
            if w.get("pid"):
                bits.append("pid %s since +%s s" % (w["pid"], w.get("started_s")))
            if w.get("restart_code"):
                bits.append("-r %s" % w["restart_code"])
            if w.get("alive_file"):
                age = w["alive_file"].get("age")
                bits.append("alive file %s" % ("missing" if age is None else "%s s old" % age))
            if w.get("last_end"):
                bits.append("last end %s %s at +%s s" % (w["last_end"].get("how"), w["last_end"].get("code"),
                                                         w["last_end"].get("time_s")))
            if w.get("restart_due_s") is not None:
                bits.append("due at +%s s" % w["restart_due_s"])
            print("  %-18s %-10s %s" % (w.get("name"), w.get("state"), ", ".join(bits)))
