"""The alive-file watchdog: a check every 120 s, a kill at the third miss in
a row, a restart with 199."""

import os
import re
import signal
import time
import unittest

from harness import ASCTIME, EMULATOR_THREADS, FAULT_FORK_LIB, PlugwatchCase, read

IDLE = "idle"


def threads(pid):
    count = int(re.search(r"^Threads:\s+(\d+)", read("/proc/%d/status" % pid), re.M).group(1))
    return count - EMULATOR_THREADS


class Watchdog(PlugwatchCase):
    def test_no_thread_without_a_watched_worker(self):
        p = self.plugin(config=self.watch("zq-a", ("zq-b", "1")), workers={"zq-a": IDLE, "zq-b": IDLE})
        p.start()
        p.wait_starts(2)
        self.assertEqual(threads(p.supervisor_pid()), 1)
        self.assertEqual(p.run_file(), p.files + "\n")

    def test_silent_worker_is_killed_and_restarted_with_199(self):
        workers = {
            # Runs under another program's name: only the kill by pid reaches it.
            "zq-silent": "exec sleep 100000",
            "zq-keeper": "keep_alive 40",
            # Misses the first two checks, shows its file before the third.
            "zq-late": "sleep 250\nkeep_alive 40",
            "zq-plain": IDLE,
        }
        config = self.watch(("zq-silent", "true"), ("zq-keeper", "true"), ("zq-late", "true"), "zq-plain")
        p = self.plugin(config=config, workers=workers)
        p.start()
        p.wait_starts(4)
        # At least the watchdog beside the main thread (a thread sanitizer
        # adds one of its own once a thread exists).
        self.assertGreaterEqual(threads(p.supervisor_pid()), 2)
        silent = p.wait_starts(3, "zq-silent", timeout=60)
        # The third check after start-up, at 360 s, then 10 s of delay: well
        # after the second check (250 s) and before the fourth (490 s).
        first_kill = silent[1].time - silent[0].time
        self.assertGreater(first_kill, 300)
        self.assertLess(first_kill, 450)
        # The count starts again from 0 after a kill: three more misses.
        second_kill = silent[2].time - silent[1].time
        self.assertGreater(second_kill, 300)
        self.assertLess(second_kill, 450)
        for s in silent[1:]:
            self.assertEqual(p.argv(s.pid), ["zq-silent", "-r", "199", "-A", "/tmp/.uci//zq-silent.alive"])
        lines = p.run_file().split("\n")[1:]
        notice = "zq-silent is not alive, and we will kill it."
        self.assertEqual(lines[0], notice)
        self.assertRegex(lines[1], "^" + ASCTIME + r": zq-silent killed by signal\(9\)$")
        self.assertEqual(lines.count(notice), 2)
        # Everyone else is left alone over all those checks.
        for name in ("zq-keeper", "zq-late", "zq-plain"):
            self.assertEqual(len(p.starts(name)), 1, name)
        self.assertEqual(p.stdout().count("Will restart normal prog after 10 secs"), 2)

    def test_worker_that_stops_keeping_its_file(self):
        # Keeps its file for 300 s, then hangs: the checks at 120 and 240 s
        # find (and delete) the file, those at 360, 480 and 600 s miss it.
        hang = 'for i in 1 2 3; do : >"$ALIVE"; sleep 100; done\nidle'
        # Shows its file only halfway before the checks at 360 and 720 s (a
        # late first start on a slow emulator still lands before them): two
        # misses, a find that starts the count again, two misses; never killed.
        gappy = 'sleep 300; : >"$ALIVE"; sleep 360; : >"$ALIVE"\nidle'
        p = self.plugin(config=self.watch(("zq-quit", "true"), ("zq-gappy", "true")),
                        workers={"zq-quit": hang, "zq-gappy": gappy}, speed=200)
        p.start()
        quit = p.wait_starts(2, "zq-quit")
        # Killed at the check at 600 s and restarted 10 s later; at 720 s when
        # its first start came so late (a slow emulator) that its last file
        # outlived the check at 240 s.
        self.assertGreater(quit[1].time - quit[0].time, 540)
        self.assertLess(quit[1].time - quit[0].time, 850)
        self.assertEqual(p.argv(quit[1].pid)[1:3], ["-r", "199"])
        # Killed by anyone else, it is restarted with the signal's own number.
        p.ns_run("kill -9 %d" % quit[1].pid)
        quit = p.wait_starts(3, "zq-quit")
        self.assertEqual(p.argv(quit[2].pid)[1:3], ["-r", "9"])
        self.assertEqual(p.run_file().count("zq-quit is not alive, and we will kill it."), 1)
        self.assertEqual(len(p.starts("zq-gappy")), 1)
        # Every event line is of a worker in use.
        for line in p.run_file().split("\n")[1:-1]:
            self.assertRegex(line, r"^(%s: )?zq-quit " % ASCTIME)

    def give_pid_away(self, p, pid):
        """Once pid has been collected, hands it to an innocent process of
        the test's own PID namespace, where the next pid can be chosen."""
        r = p.ns_run("while [ -e /proc/%d ]; do sleep 0.01; done; echo %d >/proc/sys/kernel/ns_last_pid; "
                     "setsid sleep 100000 </dev/null >/dev/null 2>&1 & echo $!" % (pid, pid - 1), timeout=60)
        self.assertEqual(r.stdout.strip(), str(pid), r.stderr)

    def assert_innocent_alive(self, p, pid):
        self.assertEqual(p.ns_run("cat /proc/%d/comm" % pid).stdout, "sleep\n")

    def test_a_freed_pid_given_to_another_process_is_never_killed(self):
        if not FAULT_FORK_LIB:
            self.skipTest("PLUGWATCH_FAULT_FORK_LIB is not set")
        with self.subTest("collected while a sweep would kill it"):
            # The worker misses the checks at 120 and 240 s and exits at
            # 300 s; its collection takes 100 s (a slow run-file line, say),
            # and the check at 360 s would be its third miss.
            p = self.plugin(config=self.watch(("zq-gone", "true")), workers={"zq-gone": "sleep 300\nfinish 3"})
            p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_REAP_PAUSE": "100"})
            pid = p.wait_starts(1)[0].pid
            self.give_pid_away(p, pid)
            second = p.wait_starts(2)[1]
            self.assertGreater(second.time - p.starts()[0].time, 400)
            self.assert_innocent_alive(p, pid)
            # The count of two misses passed on: the next worker is killed
            # at its first miss, and restarted with 199.
            third = p.wait_starts(3, timeout=60)[2]
            self.assertEqual(p.argv(third.pid)[1:3], ["-r", "199"])
            self.assertEqual(p.run_file().count("zq-gone is not alive, and we will kill it."), 1)
            self.assert_innocent_alive(p, pid)
        with self.subTest("collected while the sweep that read its pid runs"):
            # The third check reads the pid at 360 s and takes 100 s; the
            # worker exits at 400 s and is collected at once.
            p = self.plugin(config=self.watch(("zq-gone", "true")), workers={"zq-gone": "sleep 400\nfinish 3"})
            p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_ALIVE_PAUSE": "3:100"})
            first = p.wait_starts(1)[0]
            self.give_pid_away(p, first.pid)
            # The sweep resumes at 460 s and finds the slot holding another
            # pid: the successor (started at 410 s, its first misses to come
            # at 580 and 700 s) is healthy, and nothing at all is done to it.
            second = p.wait_starts(2)[1]
            self.assertEqual(p.argv(second.pid)[1:3], ["-r", "3"])
            time.sleep(max(0, first.time + 640 - second.time) / p.speed)
            self.assertEqual(p.ns_run("cat /proc/%d/comm" % second.pid).stdout, "zq-gone\n")
            self.assertNotIn("is not alive", p.run_file())
            self.assert_innocent_alive(p, first.pid)

    def test_a_restart_of_all_clears_the_mark_of_a_kill_just_before(self):
        # The reaping loop sleeps out zq-crash's segfault delay (330 to
        # 390 s) while zq-boss asks for a restart of all (345 s) and the
        # watchdog kills zq-hush (360 s). zq-boss, the older child, is
        # collected first: the pass kills the rest and starts them again.
        workers = {"zq-boss": '[ "$N" = 1 ] && { sleep 345; finish 160; }\nidle',
                   "zq-hush": IDLE,
                   "zq-crash": '[ "$N" = 1 ] && { sleep 330; crash 11; }\nidle'}
        p = self.plugin(config=self.watch("zq-boss", ("zq-hush", "true"), "zq-crash"), workers=workers, speed=50)
        p.start()
        hush = p.wait_starts(2, "zq-hush", timeout=60)
        self.assertEqual(p.argv(hush[1].pid)[1:3], ["-r", "160"])
        self.assertIn("zq-hush is not alive, and we will kill it.", p.run_file())
        # Killed by anyone else now, it is restarted with the signal's own
        # number: the watchdog's mark went with the worker it was for.
        p.ns_run("kill -9 %d" % hush[1].pid)
        hush = p.wait_starts(3, "zq-hush", timeout=60)
        self.assertEqual(p.argv(hush[2].pid)[1:3], ["-r", "9"])

    def test_a_kill_during_an_install_leaves_workers_signals_alone(self):
        # The install's tar waits until the watchdog has killed the silent
        # worker meanwhile; every worker started afterwards must still get
        # SIGINT and SIGQUIT as the supervisor had them, not ignored.
        record = 'grep SigIgn /proc/$$/status >"$R/sig.$$"\n'
        p = self.plugin(config=self.watch(("zq-mute", "true"), "zq-boss"))
        package = p.make_package({"zq-mute": record + IDLE, "zq-boss": record + IDLE})
        p.add_worker("zq-mute", record + IDLE)
        p.add_worker("zq-boss", record + '[ "$N" = 1 ] && { sleep 300; cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\n%s'
                     % (package, IDLE))
        slow = os.path.join(p.root, "slowtar")
        with open(slow, "w") as f:
            f.write("#!/bin/sh\nunset LD_PRELOAD\nwhile ! grep -q 'not alive' /tmp/.uci/%s.run; do sleep 0.01; done\n"
                    "exec %s/realtar \"$@\"\n" % (p.name, p.root))
        os.chmod(slow, 0o755)
        p.prepare('real=$(command -v tar) && cp "$real" %s/realtar && mount --bind %s "$real"' % (p.root, slow))
        p.start()
        mute = p.wait_starts(3, "zq-mute", timeout=60)
        boss = p.wait_starts(2, "zq-boss")
        self.assertEqual(p.argv(boss[1].pid)[:3], ["../data//zq-boss", "-r", "130"])
        for s in mute[1:] + boss[1:]:
            path = os.path.join(p.rec, "sig.%d" % s.pid)
            p.wait_until(lambda: os.path.exists(path) and read(path).strip(), 10, path)
            ignored = int(read(path).split()[1], 16)
            self.assertEqual(ignored & ((1 << (signal.SIGINT - 1)) | (1 << (signal.SIGQUIT - 1))), 0, (s, hex(ignored)))


if __name__ == "__main__":
    unittest.main()
