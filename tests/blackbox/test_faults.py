"""Faults from outside: fork failing, a full /tmp, missing commands, a data
directory that cannot be written, odd packages. In each case no crash, the
specified outcome, and nothing lost that the supervisor had written."""

import os
import re
import time
import unittest

import harness
from harness import ASCTIME, FAULT_FORK_LIB, PlugwatchCase

IDLE = "idle"
RESTART_5 = '[ "$N" = 1 ] && finish 5\nidle'


class ForkFailures(PlugwatchCase):
    def setUp(self):
        super().setUp()
        if not FAULT_FORK_LIB:
            self.skipTest("PLUGWATCH_FAULT_FORK_LIB is not set")

    def test_fork_fails_in_the_first_pass(self):
        names = ["zq-a", "zq-b", "zq-c", "zq-d"]
        p = self.plugin(config=self.watch(*names), workers={n: IDLE for n in names})
        p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_FAIL_FORK_AT": "3"})
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(p.stdout(), "failed to fork\n")
        # The two workers started before the failure end with the supervisor
        # (SIGTERM, or at once when it was gone before they could ask for
        # it); the fourth slot never starts.
        def running():
            r = p.ns_run("ps -eo stat=,comm=")
            return [l.split()[1] for l in r.stdout.splitlines() if l.split()[1].startswith("zq-")
                    and not l.startswith("Z")]
        p.wait_until(lambda: running() == [], 10, "no worker left running")
        self.assertNotIn("zq-c", [s.name for s in p.starts()])
        self.assertNotIn("zq-d", [s.name for s in p.starts()])

    def test_fork_fails_at_a_single_restart(self):
        p = self.plugin(config=self.watch("zq-a"), workers={"zq-a": RESTART_5})
        p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_FAIL_FORK_AT": "2"})
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(p.stdout(), "Will restart normal prog after 10 secs\nfailed to fork\n"
                                     "failed for normal boot, exit\n")
        self.assertIn("zq-a exited normally with code(5)", p.run_file())

    def test_failed_restart_with_a_record_retries_without_the_signal(self):
        # The worker ends by a signal, which never sets the cycle's code: the
        # pass that follows the failed restart (a record was there to delete)
        # starts it with no code at all.
        p = self.plugin(config=self.watch("zq-a"), workers={"zq-a": '[ "$N" = 1 ] && crash 15\nidle'})
        with open(os.path.join(p.data, ".bootchk"), "w") as f:
            f.write('{"version":"24.01.11.17"}')
        p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_FAIL_FORK_AT": "2"})
        starts = p.wait_starts(2)
        self.assertEqual(p.argv(starts[1].pid), ["zq-a"])
        self.assertIn("failed to fork\nfailed boot, then clean bootchk, and try again\n", p.stdout())


class FullTmp(PlugwatchCase):
    def test_full_filesystem_under_the_run_file(self):
        # Lines of some 250 bytes: one soon crosses into a page the full
        # filesystem cannot give.
        loop = "zq-loop-" + "n" * 200
        workers = {loop: "sleep 30\nfinish 5", "zq-silent": IDLE}
        p = self.plugin(config=self.watch(loop, ("zq-silent", "true")), workers=workers)
        p.start(tmp_size="512k")
        p.wait_starts(2, loop)
        before = p.run_file()
        r = p.ns_run("dd if=/dev/zero of=/tmp/fill bs=4k 2>/dev/null; df /tmp | tail -n 1")
        self.assertIn("100%", r.stdout)
        loops = len(p.starts(loop))
        # Restarts and the watchdog go on; nothing the supervisor wrote is lost.
        p.wait_starts(2, "zq-silent", timeout=60)
        p.wait_starts(loops + 20, loop, timeout=60)
        self.assertEqual(p.argv(p.starts("zq-silent")[1].pid)[1:3], ["-r", "199"])
        # The state file stays current: its two files are refilled in place,
        # and a write needs no page the full filesystem cannot give.
        ends = len(p.starts(loop)) - 1
        p.wait_until(lambda: int(re.search(r"^worker 0 ends exit:5=(\d+)", p.state_file(), re.M).group(1)) >= ends,
                     10, "the state file to count every end")
        # A line is whole or absent: none is cut short by the full disk (a
        # line may be read while it is being written or taken back).
        p.wait_until(lambda: p.run_file().endswith("\n"), 10, "the run file to end in a whole line")
        text = p.run_file()
        self.assertTrue(text.startswith(before))
        for line in text.split("\n")[1:-1]:
            self.assertRegex(line, r"^(%s: %s exited normally with code\(5\)|.*zq-silent.*)$" % (ASCTIME, loop))
        self.assertIsNone(p.status())


class MissingCommands(PlugwatchCase):
    def bare_path(self, p, keep):
        """A PATH holding only the named commands."""
        d = os.path.join(p.root, "bin")
        os.makedirs(d, exist_ok=True)
        for cmd in keep:
            os.symlink(harness.shutil.which(cmd), os.path.join(d, cmd))
        return d

    def test_without_killall(self):
        workers = {"zq-a": IDLE, "zq-b": '[ "$N" = 1 ] && { sleep 20; finish 160; }\nidle'}
        p = self.plugin(config=self.watch(*workers), workers=workers)
        p.start(path=self.bare_path(p, ["tar", "gzip"]))
        a = p.wait_starts(2, "zq-a")
        b = p.wait_starts(2, "zq-b")
        for s in (a[1], b[1]):
            self.assertEqual(p.argv(s.pid)[1:], ["-r", "160"])
        # Without killall the kill by pid still ends the first zq-a.
        self.assertIn("No such pid(%d) for reexec" % a[0].pid, p.stdout())
        self.assertIsNone(p.status())

    def test_without_tar(self):
        p = self.plugin(config=self.watch("zq-up"))
        pkg = p.make_package({"zq-up": IDLE})
        p.add_worker("zq-up", '[ "$N" = 1 ] && { cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle' % pkg)
        p.start(path=self.bare_path(p, ["killall"]))
        up = p.wait_starts(2, "zq-up")
        self.assertEqual(p.argv(up[1].pid), ["zq-up", "-r", "130"])
        self.assertEqual(p.boot_record(), '{"version":"24.01.11.17"}')
        self.assertFalse(os.path.exists(p.uci("ttupgrade.tgz")))


class DataDirectory(PlugwatchCase):
    def test_record_that_cannot_be_rewritten(self):
        p = self.plugin(config=self.watch("zq-up"))
        pkg = p.make_package({"zq-up": IDLE})
        p.add_worker("zq-up", '[ "$N" = 1 ] && { cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle' % pkg)
        record = os.path.join(p.data, ".bootchk")
        old = '{"version":"24.01.11.17","luadata":1}'
        with open(record, "w") as f:
            f.write(old)
        p.prepare("mount --bind %s %s && mount -o remount,ro,bind %s" % (p.data, p.data, p.data))
        p.start()
        up = p.wait_starts(2, "zq-up")
        self.assertEqual(p.argv(up[1].pid), ["zq-up", "-r", "130"])
        self.assertEqual(p.boot_record(), old)
        self.assertFalse(os.path.exists(p.ns_path(record + ".tmp")))
        self.assertFalse(os.path.exists(p.uci("ttupgrade.tgz")))
        self.assertIsNone(p.status())


if __name__ == "__main__":
    unittest.main()
