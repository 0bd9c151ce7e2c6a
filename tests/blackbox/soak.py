"""Soak: thousands of worker restarts under accelerated time, with workers
dying in every way the protocol knows, while the supervisor's descriptors and
resident memory are sampled. Optionally runs the supervisor under valgrind
and has it end by itself at the close, so that leaks are reported.

    python3 soak.py [--restarts N] [--speed X] [--valgrind]
"""

import argparse
import os
import re
import sys
import time

import harness

SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp")
from harness import Plugin, read

# One worker line of work: count the start, then end in a random way. The
# segfault delays grow to two hours, so at most four crashes happen. Every
# installation appends a member to the boot-check record, which the supervisor
# parses at every pass; the record is removed before each one so that its
# growth (as designed) does not pass for the supervisor's own.
CHAOS = r"""#!/bin/sh
unset LD_PRELOAD FAKETIME FAKETIME_SHARED
[ -n "$PW_WORKER_PATH" ] && PATH=$PW_WORKER_PATH
R='{rec}'
printf . >>"$R/starts"
[ -e "$R/stop" ] && [ "$(basename "$0")" = soak-a ] && exit 129
r=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
case $((r % 24)) in
0) exit 160 ;;
1) rm -f ../data/.bootchk; cp "$R/pkg" /tmp/.uci/ttupgrade.tgz; exit 131 ;;
2) exit 132 ;;
3) kill -TERM $$ ;;
4) kill -KILL $$ ;;
5) if [ "$(wc -c <"$R/segv")" -lt 4 ]; then printf . >>"$R/segv"; kill -SEGV $$; fi; exit 11 ;;
6|7|8) exit 0 ;;
*) exit $((r % 7 + 1)) ;;
esac
sleep 1
"""
# Keeps no alive file: the watchdog kills it every third check.
SILENT = r"""#!/bin/sh
unset LD_PRELOAD FAKETIME FAKETIME_SHARED
printf . >>'{rec}/starts'
exec sleep 100000
"""


def watchdog_kills(p):
    uci = p.ns_path("/tmp/.uci")
    return sum(read(os.path.join(uci, f)).count("is not alive") for f in os.listdir(uci) if f.endswith(".run"))


def sample(p):
    pid = p.supervisor_pid()
    if pid is None:
        return None
    fds = len(os.listdir("/proc/%d/fd" % pid))
    rss = int(re.search(r"^VmRSS:\s+(\d+)", read("/proc/%d/status" % pid), re.M).group(1))
    return fds, rss


def verdict(p, ok):
    """Prints the closing line (a sanitizer report fails the soak too) and
    returns the exit status."""
    ok = ok and not p.sanitizer_reports()
    print("soak: %s" % ("1 passed, 0 failed" if ok else "0 passed, 1 failed"))
    return 0 if ok else 1


def discard(p):
    p.stop()
    if not os.environ.get("PLUGWATCH_KEEP_SCRATCH"):
        import shutil
        shutil.rmtree(p.root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--restarts", type=int, default=10000)
    ap.add_argument("--speed", type=int, default=1000)
    ap.add_argument("--valgrind", action="store_true")
    ap.add_argument("--limit", type=float, default=1800, help="seconds of real time at most")
    args = ap.parse_args()

    p = Plugin(name="pwsoak", config=None, speed=args.speed)
    p.write_config('{"__watch": {"processes": [{"base": "soak-a"}, {"base": "soak-b"}, '
                   '{"base": "soak-c"}, {"base": "soak-silent", "excheck": true}]}}')
    for name in ("soak-a", "soak-b", "soak-c"):
        with open(os.path.join(p.files, name), "w") as f:
            f.write(CHAOS.format(rec=p.rec))
    with open(os.path.join(p.files, "soak-silent"), "w") as f:
        f.write(SILENT.format(rec=p.rec))
    for name in ("soak-a", "soak-b", "soak-c", "soak-silent"):
        os.chmod(os.path.join(p.files, name), 0o755)
    with open(os.path.join(p.rec, "pkg"), "wb") as f:
        f.write(os.urandom(3000))
    open(os.path.join(p.rec, "segv"), "w").close()
    open(os.path.join(p.rec, "starts"), "w").close()

    binary = None
    if args.valgrind:
        # A wrapper as the entry program: valgrind runs the real binary with
        # the same argument zero, so the run file and directory stay as usual.
        # The watchdog thread is detached and still running when main returns,
        # so its stack counts as "possibly lost"; only definite and indirect
        # leaks are errors.
        binary = os.path.join(p.files, p.name)
        real = binary + ".real"
        import shutil
        shutil.copy(harness.BINARY, real)
        with open(binary, "w") as f:
            f.write("#!/bin/sh\nexec valgrind -q --leak-check=full --show-leak-kinds=definite,indirect "
                    "--errors-for-leak-kinds=definite,indirect --error-exitcode=99 --suppressions=%s "
                    "--log-file=%s/valgrind.log %s \"$@\"\n" % (SUPPRESSIONS, p.out, real))
        os.chmod(binary, 0o755)
    p.start(binary=binary, argv0=binary)

    def starts():
        return os.path.getsize(os.path.join(p.rec, "starts"))

    t0 = time.time()
    early = None
    samples = []
    try:
        while starts() < args.restarts and time.time() - t0 < args.limit:
            if p.status() is not None:
                print("supervisor ended early: status %s\n%s" % (p.status(), p.stdout()[-2000:]))
                return 1
            s = None if args.valgrind else sample(p)
            if s:
                samples.append((starts(), s))
                if early is None and starts() >= min(1000, args.restarts // 10):
                    early = (starts(), s)
            time.sleep(1)
        done = starts()
        final = None if args.valgrind else sample(p)
        stop_at = time.time()
        # Close: soak-a asks for a failed boot with no record, so the
        # supervisor returns from main by itself.
        open(os.path.join(p.rec, "stop"), "w").close()
        os.remove(os.path.join(p.data, ".bootchk")) if os.path.exists(os.path.join(p.data, ".bootchk")) else None
        status = p.wait_exit(timeout=600)
        out = p.stdout()
        print("restarts: %d in %.0f s real, %d segfault restarts, %d watchdog kills" % (
            done, stop_at - t0, os.path.getsize(os.path.join(p.rec, "segv")),
            watchdog_kills(p)))
        print("supervisor status at the close: %d; last line: %s" % (status, out.strip().splitlines()[-1]))
        ok = status == 0 and out.rstrip().endswith("failed for normal boot, exit")
        if early and final:
            print("descriptors: %d after %d restarts, %d after %d" % (early[1][0], early[0], final[0], done))
            print("resident memory: %d KiB after %d restarts, %d KiB after %d" % (early[1][1], early[0], final[1], done))
            ok = ok and final[0] <= early[1][0] and final[1] <= early[1][1] + 64
        if args.valgrind:
            log = read(os.path.join(p.out, "valgrind.log"))
            print("valgrind: %s" % (log.strip() or "no error, no leak"))
            ok = ok and log.strip() == ""
        return verdict(p, ok)
    finally:
        discard(p)


if __name__ == "__main__":
    sys.exit(main())
