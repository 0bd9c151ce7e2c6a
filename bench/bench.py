"""Side-by-side costs of plugwatch and established supervisors (runit, s6,
supervisord) with the same /bin/sh workers. Run inside a private mount and
PID namespace (bench/run.sh does that); prints one markdown table.

    python3 bench.py PLUGWATCH DEVICE_BINARY FAKETIME_LIB [BASELINE_PLUGWATCH]

With a baseline (an earlier plugwatch, built by bench/run.sh from
BENCH_BASELINE_REV), its crash loops run beside the current one's, so that a
change's cost per restart is seen against the same runit on the same machine.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = "/tmp/bench"
IDLE_WINDOW = float(os.environ.get("BENCH_IDLE_SECONDS", "60"))
CRASH_WINDOW = float(os.environ.get("BENCH_CRASH_SECONDS", "6"))
# Rounds of crash loops; each round runs every supervisor's loop once, in
# turn, so that a machine that is busier for a while weighs on all of them.
CRASH_ROUNDS = int(os.environ.get("BENCH_CRASH_ROUNDS", "5"))

IDLE_WORKER = "#!/bin/sh\nwhile :; do sleep 3600; done\n"
# Keeps the alive file named after -A, well inside every check period.
ALIVE_WORKER = ('#!/bin/sh\nwhile [ $# -gt 0 ]; do [ "$1" = -A ] && alive=$2; shift; done\n'
                'while :; do : >"$alive"; sleep 40; done\n')
# Records its start on the real clock, then exits with 1 at once.
CRASH_WORKER = "#!/bin/sh\nunset LD_PRELOAD\nread -r up _ </proc/uptime\necho $up >>%s\nexit 1\n"


def write(path, text, mode=0o755):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def read(path):
    with open(path) as f:
        return f.read()


def children(pid):
    try:
        return [int(c) for c in read("/proc/%d/task/%d/children" % (pid, pid)).split()]
    except OSError:
        return []


def comm(pid):
    try:
        return read("/proc/%d/comm" % pid).strip()
    except OSError:
        return ""


class Setup:
    """One supervisor over its workers; knows its supervision processes."""

    def __init__(self, name, argv, cwd, env=None, helper_names=()):
        self.name = name
        self.argv = argv
        self.cwd = cwd
        self.env = dict(os.environ, **(env or {}))
        self.helper_names = helper_names   # child processes that supervise too
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(self.argv, cwd=self.cwd, env=self.env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def pids(self):
        pids = [self.proc.pid]
        pids += [c for c in children(self.proc.pid) if comm(c) in self.helper_names]
        return pids

    def stop(self):
        for pid in reversed(self.pids()):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait()


def plugwatch_setup(name, binary, worker_text, workers, excheck=False, speed=None, faketime=None):
    base = os.path.join(ROOT, name)
    files = os.path.join(base, "files")
    names = ["%s-w%d" % (name, i) for i in range(1, workers + 1)]
    for i, n in enumerate(names):
        write(os.path.join(files, n), ALIVE_WORKER if excheck and i == 0 else worker_text)
    entries = ", ".join('{"base": "%s"%s}' % (n, ', "excheck": true' if excheck and i == 0 else "")
                        for i, n in enumerate(names))
    write(os.path.join(files, "config"), '{"__watch": {"processes": [%s]}}' % entries, 0o644)
    shutil.copy(binary, os.path.join(files, name))
    env = {}
    if speed:
        env = {"LD_PRELOAD": faketime, "FAKETIME": "+0 x%d" % speed}
    return Setup("plugwatch", [os.path.join(files, name)], files, env)


def service_dir_setup(label, argv, helper, name, worker_text, workers, speed=None, faketime=None):
    """runit and s6 alike: a scan directory with one service directory per
    worker, whose run script execs the worker."""
    base = os.path.join(ROOT, name)
    for i in range(1, workers + 1):
        write(os.path.join(base, "w%d" % i, "worker"), worker_text)
        write(os.path.join(base, "w%d" % i, "run"), "#!/bin/sh\nexec ./worker\n")
    env = {"LD_PRELOAD": faketime, "FAKETIME": "+0 x%d" % speed} if speed else {}
    return Setup(label, argv + [base], base, env, (helper,))


def runit_setup(*args):
    return service_dir_setup("runit", ["runsvdir", "-P"], "runsv", *args)


def s6_setup(*args):
    return service_dir_setup("s6", ["s6-svscan"], "s6-supervise", *args)


def supervisord_setup(name, worker_text, workers, speed=None, faketime=None):
    base = os.path.join(ROOT, name)
    conf = ["[supervisord]", "nodaemon=true", "logfile=%s/supervisord.log" % base,
            "pidfile=%s/supervisord.pid" % base, "childlogdir=%s" % base]
    for i in range(1, workers + 1):
        write(os.path.join(base, "w%d" % i), worker_text)
        conf += ["[program:w%d]" % i, "command=%s/w%d" % (base, i), "autorestart=true",
                 "startsecs=0", "startretries=1000000", "stdout_logfile=NONE", "stderr_logfile=NONE"]
    write(os.path.join(base, "supervisord.conf"), "\n".join(conf) + "\n", 0o644)
    env = {"LD_PRELOAD": faketime, "FAKETIME": "+0 x%d" % speed} if speed else {}
    return Setup("supervisord", ["supervisord", "-c", os.path.join(base, "supervisord.conf")], base, env)


def memory(pids):
    rss = pss = uss = 0
    for pid in pids:
        for line in read("/proc/%d/smaps_rollup" % pid).splitlines():
            key, _, rest = line.partition(":")
            value = rest.split()[0] if rest.split() else "0"
            if key == "Rss":
                rss += int(value)
            elif key == "Pss":
                pss += int(value)
            elif key in ("Private_Clean", "Private_Dirty"):
                uss += int(value)
    return rss, pss, uss


def cost(pids):
    """CPU nanoseconds and voluntary switches, over all threads."""
    cpu = switches = 0
    for pid in pids:
        for tid in os.listdir("/proc/%d/task" % pid):
            cpu += int(read("/proc/%d/task/%s/schedstat" % (pid, tid)).split()[0])
            m = re.search(r"^voluntary_ctxt_switches:\s+(\d+)", read("/proc/%d/task/%s/status" % (pid, tid)), re.M)
            switches += int(m.group(1))
    return cpu, switches


def measure_idle(setups):
    before = {s: cost(s.pids()) for s in setups}
    time.sleep(IDLE_WINDOW)
    return {s: tuple(b - a for a, b in zip(before[s], cost(s.pids()))) for s in setups}


def crash_loop(setup, log, delay_real):
    """CPU per restart and the latency from the end of the delay to the
    replacement's start, averaged over the window."""
    if os.path.exists(log):
        os.remove(log)
    setup.start()
    time.sleep(1.0)
    pids = setup.pids()
    c0, _ = cost(pids)
    n0 = len(read(log).split()) if os.path.exists(log) else 0
    time.sleep(CRASH_WINDOW)
    c1, _ = cost(pids)
    starts = [float(x) for x in read(log).split()] if os.path.exists(log) else []
    setup.stop()
    window = starts[n0:]
    restarts = max(len(window) - 1, 1)
    gaps = [b - a for a, b in zip(window, window[1:])]
    latency = (sum(gaps) / len(gaps) - delay_real) if gaps else float("nan")
    return (c1 - c0) / restarts, latency, len(gaps)


def crash_rounds(loops, suffix=""):
    """Every loop once per round, for CRASH_ROUNDS rounds, each run on a
    fresh tree: per loop the median CPU per restart with its lowest and
    highest, the median latency, and the restarts counted."""
    runs = {name: [] for name, _, _ in loops}
    for r in range(CRASH_ROUNDS):
        for name, make, delay in loops:
            log = os.path.join(ROOT, "%s%s-%d-starts.log" % (re.sub(r"\W+", "-", name), suffix, r))
            runs[name].append(crash_loop(make(log), log, delay))
    out = {}
    for name, results in runs.items():
        cpus = sorted(x[0] for x in results)
        out[name] = (cpus[len(cpus) // 2], sorted(x[1] for x in results)[len(results) // 2],
                     sum(x[2] for x in results), cpus[0], cpus[-1])
    return out


def binary_info(path):
    size = os.path.getsize(path)
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    libs = re.findall(r"NEEDED.*\[(.*)\]", out)
    return size, libs


def code_size(path):
    """Bytes of the executable's code and read-only data (its R E segment)."""
    out = subprocess.run(["readelf", "-lW", path], capture_output=True, text=True).stdout
    for line in out.splitlines():
        f = line.split()
        if f and f[0] == "LOAD" and "E" in f[6:-1]:
            return int(f[4], 16)
    return 0


def main():
    plugwatch, device, faketime = sys.argv[1:4]
    baseline = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
    os.makedirs(ROOT, exist_ok=True)
    rows = []

    # Memory and idle cost, four idle workers each, all in one window.
    idle = [plugwatch_setup("pwidle", plugwatch, IDLE_WORKER, 4),
            runit_setup("runitidle", IDLE_WORKER, 4),
            s6_setup("s6idle", IDLE_WORKER, 4),
            supervisord_setup("sdidle", IDLE_WORKER, 4)]
    watched = plugwatch_setup("pwwatch", plugwatch, IDLE_WORKER + "", 4, excheck=True, speed=100,
                              faketime=faketime)
    for s in idle + [watched]:
        s.start()
    time.sleep(3)
    mem = {s: memory(s.pids()) for s in idle}
    idle_cost = measure_idle(idle + [watched])
    for s in idle + [watched]:
        s.stop()

    # Crash loops: the restart delay made about 100 ms by acceleration.
    loops = [
        ("plugwatch", lambda log: plugwatch_setup("pwcrash", plugwatch, CRASH_WORKER % log, 1, speed=100,
                                                  faketime=faketime), 0.1),
        ("runit", lambda log: runit_setup("runitcrash", CRASH_WORKER % log, 1, 10, faketime), 0.1),
        ("s6", lambda log: s6_setup("s6crash", CRASH_WORKER % log, 1, 10, faketime), 0.1),
        ("supervisord", lambda log: supervisord_setup("sdcrash", CRASH_WORKER % log, 1, 10, faketime), 0.1),
    ]
    baseline_name = "plugwatch baseline (%s)" % os.environ.get("BENCH_BASELINE_REV", "given")
    if baseline:
        loops.insert(2, (baseline_name,
                         lambda log: plugwatch_setup("pwbase", baseline, CRASH_WORKER % log, 1, speed=100,
                                                     faketime=faketime), 0.1))
    # At the common default open-files limit of 1024, then (plugwatch and
    # runit) with the limit raised to 1,048,576, or as far as this machine
    # lets it go.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    crash = {}
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
    crash.update(crash_rounds(loops))
    raised = None
    for limit in (1048576, hard):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, max(hard, limit)))
            raised = limit
            break
        except (ValueError, OSError):
            continue
    if raised and raised > 1024:
        for name, result in crash_rounds(loops[:3 if baseline else 2], "-big").items():
            crash["%s (open-files limit %d)" % (name, raised)] = result
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

    print("| supervisor | processes | RSS KiB | PSS KiB | USS KiB | idle CPU ms / %ds | idle wake-ups / %ds |"
          % (IDLE_WINDOW, IDLE_WINDOW))
    print("|---|---|---|---|---|---|---|")
    for s in idle:
        rss, pss, uss = mem[s]
        cpu, sw = idle_cost[s]
        print("| %s | %d | %d | %d | %d | %.3f | %d |" % (s.name, len(s.pids()) if s.proc.poll() is None else
              (1 if not s.helper_names else 5), rss, pss, uss, cpu / 1e6, sw))
    cpu, sw = idle_cost[watched]
    print("| plugwatch, one \"excheck\" worker, x100 (%d sweeps) | 1 | | | | %.3f | %d |"
          % (IDLE_WINDOW * 100 / 120, cpu / 1e6, sw))
    print()
    print("| crash loop (delay made ~100 ms), median of %d runs, open-files limit 1024 unless said | restarts "
          "| supervisor CPU µs / restart (lowest-highest run) | latency ms after the delay |" % CRASH_ROUNDS)
    print("|---|---|---|---|")
    for name, (cpu, latency, n, low, high) in crash.items():
        print("| %s | %d | %.0f (%.0f-%.0f) | %.2f |" % (name, n, cpu / 1e3, low / 1e3, high / 1e3, latency * 1e3))
    print()
    print("| executable | bytes | links against |")
    print("|---|---|---|")
    for label, path in (("plugwatch (host)", plugwatch), ("plugwatch (device: static musl, ARM, as released)", device),
                        ("runsv", shutil.which("runsv")), ("runsvdir", shutil.which("runsvdir")),
                        ("s6-supervise", shutil.which("s6-supervise")), ("s6-svscan", shutil.which("s6-svscan"))):
        if path and os.path.exists(path):
            size, libs = binary_info(path)
            print("| %s | %d | %s |" % (label, size, ", ".join(libs)))
    print("| supervisord | (Python) | %s |" % subprocess.run(
        ["sh", "-c", "python3 --version"], capture_output=True, text=True).stdout.strip())

    # The targets, as ratios to the anchors measured in this same run.
    by_name = {s.name: s for s in idle}
    pw, runit = by_name["plugwatch"], by_name["runit"]
    device_size, device_libs = binary_info(device)
    print()
    print("| target | measured | met |")
    print("|---|---|---|")
    uss = mem[pw][2] / mem[runit][2]
    print("| USS at most 40 %% of runit's | %.0f %% | %s |" % (uss * 100, yes(uss <= 0.40)))
    lowest = min(mem[s][1] for s in idle if s is not pw)
    print("| PSS below every anchor's | %d KiB vs %d KiB lowest | %s |" % (mem[pw][1], lowest, yes(mem[pw][1] < lowest)))
    cpu, sw = idle_cost[pw]
    print("| idle without \"excheck\": no wake-up, no CPU | %d wake-ups, %.3f ms | %s |"
          % (sw, cpu / 1e6, yes(sw == 0 and cpu == 0)))
    sweeps = int(IDLE_WINDOW * 100 / 120)
    cpu, sw = idle_cost[watched]
    print("| idle with one: one wake-up per sweep | %d wake-ups, %d sweeps | %s |" % (sw, sweeps, yes(abs(sw - sweeps) <= 1)))
    limits = [""] + [" (open-files limit %d)" % raised] if raised and raised > 1024 else [""]
    for suffix in limits:
        p, r = crash["plugwatch" + suffix], crash["runit" + suffix]
        print("| CPU per restart at most 45 %% of runit's%s | %.0f %% | %s |"
              % (suffix, p[0] / r[0] * 100, yes(p[0] <= 0.45 * r[0])))
        print("| latency at most 70 %% of runit's%s | %.0f %% | %s |" % (suffix, p[1] / r[1] * 100, yes(p[1] <= 0.7 * r[1])))
        if baseline:
            b = crash[baseline_name + suffix]
            print("| CPU per restart within 15 %% of the baseline's%s | %.0f %% | %s |"
                  % (suffix, p[0] / b[0] * 100, yes(p[0] <= 1.15 * b[0])))
    code = code_size(device)
    print("| device binary static, its code and read-only data within 64 KiB | %d bytes (code %d), %s | %s |"
          % (device_size, code, ", ".join(device_libs) or "static", yes(code <= 65536 and not device_libs)))


def yes(ok):
    return "yes" if ok else "**no**"


if __name__ == "__main__":
    main()
