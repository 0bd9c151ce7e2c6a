"""Workers built on the worker kit, under the real supervisor."""

import os
import time
import unittest

from harness import PlugwatchCase

KEEPER = os.environ.get("PLUGWATCH_KIT_KEEPER", "")
STAGER = os.environ.get("PLUGWATCH_KIT_STAGER", "")
DATA_OPTIONS = ["-T", "/tmp/.uci/", "-D", "../data/", "-O", "velmar_rtos510"]


class KitWorkers(PlugwatchCase):
    def setUp(self):
        super().setUp()
        if not (KEEPER and STAGER):
            self.skipTest("the kit's test workers are not built")

    def test_keeper_is_never_killed(self):
        p = self.plugin(config=self.watch(("kitkeep", "true")), speed=200)
        p.add_program("kitkeep", KEEPER)
        p.start(env_extra={"PW_KIT_REC": p.rec})
        first = p.wait_starts(1)[0]
        self.assertEqual(p.argv(first.pid), ["kitkeep", "-A", "/tmp/.uci//kitkeep.alive"])
        # Eight checks (960 s at x200): any three missed in a row would kill it.
        time.sleep(960 / 200 + 1)
        self.assertEqual(len(p.starts()), 1)
        self.assertNotIn("not alive", p.run_file())
        self.assertIsNone(p.status())

    def test_staged_package_boots_from_the_data_directory(self):
        p = self.plugin(config=self.watch("kitstage"))
        p.add_program("kitstage", STAGER)
        pkg = p.make_package({"kitstage": "idle"})
        p.start(env_extra={"PW_KIT_REC": p.rec, "PW_KIT_PACKAGE": pkg})
        starts = p.wait_starts(2)
        self.assertEqual(p.argv(starts[1].pid), ["../data//kitstage", "-r", "130"] + DATA_OPTIONS)
        self.assertEqual(p.boot_record(), '{"version":"24.01.11.17","plugindata":1}')
        # Nothing of the staging is left: no package, no temporary file (nor
        # one of the state file's, once the write under way is done).
        uci = p.ns_path("/tmp/.uci")
        kept = [p.name + ".run", p.name + ".state", p.name + ".state.spare"]
        p.wait_until(lambda: sorted(os.listdir(uci)) == kept, 10,
                     "only the run file and the state file and its spare in /tmp/.uci: %s" % os.listdir(uci))


if __name__ == "__main__":
    unittest.main()
