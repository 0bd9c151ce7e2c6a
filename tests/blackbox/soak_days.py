"""Soak in plug-in days: the supervisor runs under an accelerated clock with
the four workers a gateway in the field may have, and what could grow over
years is watched: the run file, /tmp/.uci/, the supervisor's descriptors and
resident memory, and copies of a worker that outlive a pass.

    python3 soak_days.py --days N [--speed S]

Workers:
  soak-crash   exits 1 at once, for ever (a crash loop, 10 s apart);
  soak-segv    segfaults after half an hour to three hours of plug-in time;
  soak-hang    runs as another program ("sleep") and never shows its alive
               file: only a kill by pid reaches it, every third check;
  soak-boss    asks for a restart of all (160) every plug-in hour, and once a
               plug-in day installs a package instead (130, then 131 the next
               day, and so on).
"""

import argparse
import os
import re
import sys
import time

import harness
from harness import Plugin, read
from soak import discard, verdict

PREAMBLE = r"""#!/bin/sh
unset LD_PRELOAD FAKETIME FAKETIME_SHARED
[ -n "$PW_WORKER_PATH" ] && PATH=$PW_WORKER_PATH
R='{rec}'
export PW_SOAK_WORKER={name}
printf '%s\n' "$*" >>"$R/starts.{name}"
psleep() {{ command sleep "$(awk -v s="$1" -v k="$PW_SPEED" 'BEGIN {{ printf "%.3f", s / k }}')"; }}
"""
BODIES = {
    "soak-crash": "exit 1",
    "soak-segv": 'psleep $(( $(od -An -N2 -tu2 /dev/urandom) % 9000 + 1800 ))\nkill -SEGV $$\nsleep 1',
    "soak-hang": "exec sleep 100000000",
    "soak-boss": r"""psleep 3600
hours=$(( $(cat "$R/hours" 2>/dev/null || echo 0) + 1 ))
echo $hours >"$R/hours"
if [ $((hours % 24)) = 0 ]; then
    if [ $((hours / 24 % 2)) = 1 ]; then cp "$R/pkg130" /tmp/.uci/ttupgrade.tgz.tmp; code=130
    else cp "$R/pkg131" /tmp/.uci/ttupgrade.tgz.tmp; code=131; fi
    mv /tmp/.uci/ttupgrade.tgz.tmp /tmp/.uci/ttupgrade.tgz
    exit $code
fi
exit 160""",
}
# Private anonymous memory other than the main thread's stack may grow this
# much (KiB) between the first sample and the last: a page or two of the C
# library's heap or the watchdog thread's stack that a rare step (an install,
# a cut of the run file) touches first late in the run. A leak of even a few
# bytes a restart grows far past it.
ANON_ALLOWANCE = 16
# The main thread's stack is no leak's: it is given back once a pass, and
# between passes holds the pages the restarts of single workers touched
# (12 KiB more than just after a pass, on a glibc host). It stays within the
# span the deepest step reaches.
MAIN_STACK_LIMIT = 64
CONFIG = ('{"__watch": {"processes": [{"base": "soak-crash"}, {"base": "soak-segv"}, '
          '{"base": "soak-hang", "excheck": true}, {"base": "soak-boss"}]}}')


def worker_of(pid):
    """The soak worker that process pid runs: a script by its path among the
    arguments, a program it exec'd by the marker in its environment."""
    args = open("/proc/%d/cmdline" % pid, "rb").read().split(b"\0")
    for a in args[:2]:
        name = os.path.basename(a.decode(errors="replace"))
        if name in BODIES:
            return name
    for item in open("/proc/%d/environ" % pid, "rb").read().split(b"\0"):
        if item.startswith(b"PW_SOAK_WORKER="):
            return item.split(b"=", 1)[1].decode()
    return None


def supervisor_children(sup):
    """Worker name -> live child processes of the supervisor running it."""
    found = {}
    for pid in harness.pwsandbox.children(sup):
        try:
            if read("/proc/%d/stat" % pid).rsplit(") ", 1)[1].startswith("Z"):
                continue
            name = worker_of(pid)
        except (OSError, IndexError):
            continue
        if name:
            found.setdefault(name, set()).add(pid)
    return found


def size_of(path):
    """A file's size; 0 for a name gone since it was listed (the state
    file's temporary names come and go with every write)."""
    try:
        return os.path.getsize(path) if os.path.isfile(path) else 0
    except FileNotFoundError:
        return 0


def private_anonymous(sup):
    """Mapping -> kB of private anonymous memory (heap, stacks, anonymous
    maps): what a leak grows. Pages of code and libraries that the
    supervisor touches late in its life are not in it."""
    found = {}
    name = None
    for line in read("/proc/%d/smaps" % sup).splitlines():
        head = re.match(r"^[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s*(.*)$", line)
        if head:
            name = head.group(1) or "[anonymous]"
            continue
        m = re.match(r"^Anonymous:\s+(\d+) kB", line)
        if m and int(m.group(1)):
            found[name] = found.get(name, 0) + int(m.group(1))
    return found


def usage(p, sup):
    fds = len(os.listdir("/proc/%d/fd" % sup))
    rss = int(re.search(r"^VmRSS:\s+(\d+)", read("/proc/%d/status" % sup), re.M).group(1))
    uci = p.ns_path("/tmp/.uci")
    run = size_of(os.path.join(uci, p.name + ".run"))
    used = sum(size_of(os.path.join(uci, f)) for f in os.listdir(uci))
    return fds, rss, run, used, private_anonymous(sup)


def make_plugin(speed):
    p = Plugin(name="pwyear", config=CONFIG, speed=speed)
    staging = os.path.join(p.root, "staging")
    os.makedirs(staging)
    for name, body in BODIES.items():
        for d in (p.files, staging):
            with open(os.path.join(d, name), "w") as f:
                f.write(PREAMBLE.format(rec=p.rec, name=name) + body + "\n")
            os.chmod(os.path.join(d, name), 0o755)
    # The package holds the workers themselves, so the plug-in runs on from
    # ../data/ after the first unpack.
    harness.subprocess.run(["tar", "czf", os.path.join(p.rec, "pkg130"), "--owner=0", "--group=0",
                            "-C", staging] + list(BODIES), check=True)
    with open(os.path.join(p.rec, "pkg131"), "wb") as f:
        f.write(os.urandom(4096))
    return p


def starts_by_code(p):
    """Worker -> restart code ("" for none) -> count, from the workers' own records."""
    table = {}
    for name in BODIES:
        path = os.path.join(p.rec, "starts." + name)
        counts = table.setdefault(name, {})
        if os.path.exists(path):
            for line in read(path).splitlines():
                m = re.search(r"-r (\d+)", line)
                code = m.group(1) if m else ""
                counts[code] = counts.get(code, 0) + 1
    return table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--days", type=float, required=True)
    ap.add_argument("--speed", type=int, default=2000)
    args = ap.parse_args()

    p = make_plugin(args.speed)
    p.start()
    day = 86400.0 / args.speed
    t0 = time.time()
    first = last = None
    largest_run = largest_uci = 0
    copies = {}
    previous = {}
    ok = True
    try:
        while time.time() - t0 < args.days * day:
            if p.status() is not None:
                print("supervisor ended: status %s\n%s" % (p.status(), p.stdout()[-2000:]))
                ok = False
                break
            sup = p.supervisor_pid()
            sample = usage(p, sup)
            first = first or sample
            last = sample
            largest_run = max(largest_run, sample[2])
            largest_uci = max(largest_uci, sample[3])
            # A copy counts when it is still there at the next sample, half a
            # second later: a pass's kill takes a moment to land.
            now = supervisor_children(sup)
            for name, pids in now.items():
                lasting = pids & previous.get(name, set())
                copies[name] = max(copies.get(name, 0), len(lasting))
            previous = now
            time.sleep(0.5)
        days = (time.time() - t0) / day
        print("simulated days: %.2f at x%d" % (days, args.speed))
        for name, counts in starts_by_code(p).items():
            text = ", ".join("%s %d" % ("-r " + c if c else "no -r", n) for c, n in sorted(counts.items()))
            print("  %-11s starts by restart code: %s" % (name, text))
        print("run file largest: %d bytes; /tmp/.uci/ largest: %d bytes" % (largest_run, largest_uci))
        if first and last:
            anon_first, anon_last = (sum(v for k, v in sample[4].items() if k != "[stack]") for sample in (first, last))
            print("descriptors: %d first, %d last; resident memory: %d KiB first, %d KiB last; "
                  "private anonymous besides the main stack: %d KiB first, %d KiB last"
                  % (first[0], last[0], first[1], last[1], anon_first, anon_last))
            ok = ok and last[0] <= first[0] and anon_last <= anon_first + ANON_ALLOWANCE
            ok = ok and max(first[4].get("[stack]", 0), last[4].get("[stack]", 0)) <= MAIN_STACK_LIMIT
            for name in sorted(set(first[4]) | set(last[4])):
                if first[4].get(name, 0) != last[4].get(name, 0):
                    print("  %s: %d KiB first, %d KiB last" % (name, first[4].get(name, 0), last[4].get(name, 0)))
        print("most copies of a worker that outlived a pass: %s" % (copies or "none seen"))
        ok = ok and largest_run <= 65536 and all(n <= 1 for n in copies.values())
        ok = ok and starts_by_code(p)["soak-hang"].get("199", 0) > 0
        return verdict(p, ok)
    finally:
        discard(p)


if __name__ == "__main__":
    sys.exit(main())
