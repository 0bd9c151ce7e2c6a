"""Failed boots: exit 129, programs that cannot be executed, and the
boot-check record that decides whether a failed boot is retried."""

import os
import unittest

from harness import PlugwatchCase

IDLE = "idle"
CURRENT_RECORD = '{"version":"24.01.11.17"}'


class FailedBoot(PlugwatchCase):
    def term_pids(self, p):
        return sorted(e.pid for e in p.events() if e.kind == "term")

    def test_retry_without_the_record_then_give_up(self):
        workers = {"zq-boot": "sleep 30\nfinish 129", "zq-other": IDLE}
        p = self.plugin(config=self.watch(*workers), workers=workers)
        record = os.path.join(p.data, ".bootchk")
        with open(record, "w") as f:
            f.write(CURRENT_RECORD)
        p.start()
        self.assertEqual(p.wait_exit(), 0)
        boot = p.starts("zq-boot")
        other = p.starts("zq-other")
        # The retry pass kills the first zq-other by name; it is reaped as
        # nobody's child.
        self.assertEqual(p.stdout(), "failed boot, then clean bootchk, and try again\n"
                                     "No such pid(%d) for reexec\n"
                                     "failed for normal boot, exit\n" % other[0].pid)
        self.assertFalse(os.path.exists(record))
        self.assertEqual(len(boot), 2)
        self.assertEqual(p.argv(boot[1].pid), ["zq-boot", "-r", "129"])
        self.assertEqual(p.argv(other[1].pid), ["zq-other", "-r", "129"])
        self.assertEqual(p.run_file().count("zq-boot exited normally with code(129)"), 2)
        # The worker still running when the supervisor gives up gets SIGTERM.
        p.wait_until(lambda: other[1].pid in self.term_pids(p), 10, "SIGTERM to zq-other")

    def test_no_record_gives_up_at_once(self):
        workers = {"zq-boot": "finish 129", "zq-other": IDLE}
        p = self.plugin(config=self.watch(*workers), workers=workers)
        p.start()
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(p.stdout(), "failed for normal boot, exit\n")
        self.assertEqual(len(p.starts("zq-boot")), 1)

    def test_unusable_record_is_cleared_once(self):
        # A record that is not JSON gives mode 0 but still counts as one to
        # delete: one retry, then the end.
        workers = {"zq-boot": "finish 129"}
        p = self.plugin(config=self.watch(*workers), workers=workers)
        with open(os.path.join(p.data, ".bootchk"), "w") as f:
            f.write("not json")
        p.start()
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(len(p.starts("zq-boot")), 2)

    def test_program_that_cannot_be_executed(self):
        workers = {"zq-other": IDLE}
        p = self.plugin(config=self.watch("zq-missing", "zq-other"), workers=workers)
        noexec = os.path.join(p.files, "zq-noexec")
        with open(noexec, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(noexec, 0o644)
        p.start()
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(p.stdout(), "failed to exec zq-missing, error is No such file or directory\n"
                                     "failed for normal boot, exit\n")
        self.assertIn("zq-missing exited normally with code(129)", p.run_file())

        q = self.plugin(config=self.watch("zq-other", "zq-noexec"), workers=workers)
        os.rename(noexec, os.path.join(q.files, "zq-noexec"))
        q.start()
        self.assertEqual(q.wait_exit(), 0)
        self.assertIn("failed to exec zq-noexec, error is Permission denied\n", q.stdout())


if __name__ == "__main__":
    unittest.main()
