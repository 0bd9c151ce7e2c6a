"""Upgrade packages end to end: a worker leaves "/tmp/.uci//ttupgrade.tgz"
and exits with 130, 131 or 132."""

import os
import unittest

from harness import PlugwatchCase

IDLE = "idle"
DATA_OPTIONS = ["-T", "/tmp/.uci/", "-D", "../data/", "-O", "velmar_rtos510"]


class Upgrade(PlugwatchCase):
    def upgrader(self, code, package=True):
        stage = 'cp "$PKG" /tmp/.uci/ttupgrade.tgz\n' if package else ""
        return '[ "$N" = 1 ] && { %sfinish %d; }\nidle' % (stage, code)

    def make(self, code, package=True):
        p = self.plugin(config=self.watch("zq-up", ("zq-keep", "true")))
        p.add_worker("zq-up", "PKG=%s\n" % os.path.join(p.root, "package.tgz") + self.upgrader(code, package))
        p.add_worker("zq-keep", "keep_alive 30")
        return p

    def test_unpacked_package_boots_from_the_data_directory(self):
        p = self.make(130)
        # The upgraded copies: zq-up fails its boot once it runs from there.
        p.make_package({"zq-up": "finish 129", "zq-keep": "keep_alive 30"})
        p.start()
        up = p.wait_starts(3, "zq-up")
        keep = p.wait_starts(3, "zq-keep")
        self.assertEqual(p.argv(up[1].pid), ["../data//zq-up", "-r", "130"] + DATA_OPTIONS)
        self.assertEqual(p.argv(keep[1].pid),
                         ["../data//zq-keep", "-r", "130", "-A", "/tmp/.uci//zq-keep.alive"] + DATA_OPTIONS)
        self.assertEqual(p.cwd(up[1].pid), p.files)
        # The failed boot from the data directory deletes the record, and the
        # retry runs the plug-in's own programs with 129.
        self.assertEqual(p.argv(up[2].pid), ["zq-up", "-r", "129"])
        self.assertEqual(p.argv(keep[2].pid), ["zq-keep", "-r", "129", "-A", "/tmp/.uci//zq-keep.alive"])
        self.assertFalse(os.path.exists(os.path.join(p.data, ".bootchk")))
        self.assertTrue(os.path.exists(os.path.join(p.data, "zq-up")))
        self.assertFalse(os.path.exists(p.uci("ttupgrade.tgz")))
        self.assertIn("failed boot, then clean bootchk, and try again\n", p.stdout())

    def test_record_after_unpacking(self):
        p = self.make(130)
        p.make_package({"zq-up": IDLE, "zq-keep": "keep_alive 30"})
        p.start()
        p.wait_starts(2, "zq-up")
        p.wait_starts(2, "zq-keep")
        self.assertEqual(p.boot_record(), '{"version":"24.01.11.17","plugindata":1}')
        self.assertEqual(p.stdout().count("Will restart"), 0)

    def test_record_present_at_start_up(self):
        cases = (('{"version":"24.01.11.17","plugindata":1}', True, True),
                 ('{"version":"25.0.0.0","PluginData":true}', True, True),
                 ('{"version":"23.12.31.23","plugindata":1}', False, False),
                 ('{"version":"24.01.11.17","luadata":1}', False, True))
        for record, from_data, kept in cases:
            with self.subTest(record):
                p = self.plugin(config=self.watch("zq-a"), workers={"zq-a": IDLE})
                p.add_worker("zq-a", IDLE, directory=p.data)
                path = os.path.join(p.data, ".bootchk")
                with open(path, "w") as f:
                    f.write(record)
                p.start()
                s = p.wait_starts(1)[0]
                expected = ["../data//zq-a"] + DATA_OPTIONS if from_data else ["zq-a"]
                self.assertEqual(p.argv(s.pid), expected)
                self.assertEqual(os.path.exists(path), kept)

    def test_copy_drop_and_missing_package(self):
        for code, package, record in ((131, True, '{"version":"24.01.11.17","luadata":1}'),
                                      (132, True, '{"version":"24.01.11.17"}'),
                                      (130, False, None)):
            with self.subTest(code=code, package=package):
                p = self.make(code, package)
                blob = bytes((i * 37) % 256 for i in range(3000))
                with open(os.path.join(p.root, "package.tgz"), "wb") as f:
                    f.write(blob)
                p.start()
                up = p.wait_starts(2, "zq-up")
                keep = p.wait_starts(2, "zq-keep")
                self.assertEqual(p.argv(up[1].pid), ["zq-up", "-r", str(code)])
                self.assertEqual(p.argv(keep[1].pid)[:3], ["zq-keep", "-r", str(code)])
                self.assertEqual(p.boot_record(), record)
                init_bin = os.path.join(p.data, "init.bin")
                if code == 131:
                    with open(init_bin, "rb") as f:
                        self.assertEqual(f.read(), blob)
                else:
                    self.assertFalse(os.path.exists(init_bin))
                self.assertFalse(os.path.exists(p.uci("ttupgrade.tgz")))


if __name__ == "__main__":
    unittest.main()
