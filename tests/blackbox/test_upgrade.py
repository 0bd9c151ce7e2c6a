"""Upgrade packages end to end: a worker leaves "/tmp/.uci//ttupgrade.tgz"
and exits with 130, 131 or 132."""

import json
import os
import random
import time
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


class PowerCut(PlugwatchCase):
    """The supervisor killed at random moments while workers make it install
    package after package: what it leaves must always be usable."""

    ROUNDS = 20

    def torture(self, code, check):
        p = self.plugin(config=self.watch("zq-up"))
        rng = random.Random(code)
        # Two packages of a few MiB, taken in turn, so that old and new differ.
        blobs = [rng.randbytes(3 << 20) for _ in range(2)]
        stage = 'cp "%s/pkg$((N %% 2))" /tmp/.uci/ttupgrade.tgz\nfinish %d' % (p.root, code)
        p.add_worker("zq-up", stage)
        for i, blob in enumerate(blobs):
            path = os.path.join(p.root, "pkg%d" % i)
            if code == 130:
                # The big file makes the unpacking take a while.
                p.make_package({"zq-up": stage}, path=path, files={"big": blob})
            else:
                with open(path, "wb") as f:
                    f.write(blob)
        for _ in range(self.ROUNDS):
            p.start()
            p.wait_starts(len(p.starts()) + 1)
            time.sleep(rng.uniform(0.0, 0.3))
            p.stop()
            for f in ("pid", "status"):
                if os.path.exists(os.path.join(p.out, f)):
                    os.remove(os.path.join(p.out, f))
            check(p, blobs)
        self.assertGreater(len(p.starts()), self.ROUNDS, "installs happened")

    def assert_record_valid(self, p):
        path = os.path.join(p.data, ".bootchk")
        if os.path.exists(path):
            with open(path) as f:
                self.assertIsInstance(json.load(f), dict)

    def test_copy_over_init_bin(self):
        def check(p, blobs):
            self.assert_record_valid(p)
            path = os.path.join(p.data, "init.bin")
            if os.path.exists(path):
                with open(path, "rb") as f:
                    data = f.read()
                self.assertTrue(data in blobs, "init.bin of %d bytes is neither the old package "
                                "nor the new" % len(data))
        self.torture(131, check)

    def test_unpack_into_data(self):
        self.torture(130, lambda p, blobs: self.assert_record_valid(p))


if __name__ == "__main__":
    unittest.main()
