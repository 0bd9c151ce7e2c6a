"""Upgrade packages end to end: a worker leaves "/tmp/.uci//ttupgrade.tgz"
and exits with 130, 131 or 132."""

import io
import json
import os
import random
import shutil
import subprocess
import tarfile
import time
import unittest

from harness import ASCTIME, EMULATOR, PlugwatchCase, namespace_mode, read, shell_quote

VERIFY = os.environ.get("PLUGWATCH_VERIFY_BIN", "")

IDLE = "idle"
DATA_OPTIONS = ["-T", "/tmp/.uci/", "-D", "../data/", "-O", "velmar_rtos510"]


class Upgrade(PlugwatchCase):
    def upgrader(self, code, package=True):
        # Asks once zq-keep runs: a pass's kill may otherwise end zq-keep
        # before it could note its first start.
        stage = 'cp "$PKG" /tmp/.uci/ttupgrade.tgz\n' if package else ""
        wait = 'until grep -q "^start${T}zq-keep${T}" "$R/events"; do sleep 1; done\n'
        return '[ "$N" = 1 ] && { %s%sfinish %d; }\nidle' % (wait, stage, code)

    def make(self, code, package=True):
        p = self.plugin(config=self.watch("zq-up", ("zq-keep", "true")))
        p.add_worker("zq-up", "PKG=%s\n" % os.path.join(p.root, "package.tgz") + self.upgrader(code, package))
        p.add_worker("zq-keep", "keep_alive 30")
        return p

    def test_unpacked_package_boots_from_the_data_directory(self):
        p = self.make(130)
        # The upgraded copies: zq-up fails its boot once it runs from there,
        # after zq-keep has started from there too.
        p.make_package({"zq-up": 'until grep -q -- "-r 130 -A /tmp/.uci//zq-keep.alive -T" "$R/events"; '
                                 'do sleep 1; done\nfinish 129', "zq-keep": "keep_alive 30"})
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

    def test_hostile_archive_writes_nothing_outside_the_data_directory(self):
        p = self.plugin(config=self.watch("zq-up"))
        path = os.path.join(p.root, "hostile.tgz")
        with tarfile.open(path, "w:gz", format=tarfile.GNU_FORMAT) as tar:
            def member(name, data=b"x", kind=tarfile.REGTYPE, target=""):
                info = tarfile.TarInfo(name)
                info.type, info.linkname, info.size = kind, target, len(data) if kind == tarfile.REGTYPE else 0
                tar.addfile(info, io.BytesIO(data) if kind == tarfile.REGTYPE else None)
            member("../escape")
            member("/tmp/absolute")
            member("out", kind=tarfile.SYMTYPE, target="/tmp/outside")
            member("out/through")
            member("up", kind=tarfile.SYMTYPE, target="..")
            member("up/climbed")
        p.add_worker("zq-up", '[ "$N" = 1 ] && { cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle' % path)
        p.prepare("mkdir /tmp/outside")
        p.start()
        p.wait_starts(2, "zq-up")
        for outside in (os.path.join(p.plugin_dir, "escape"), os.path.join(p.plugin_dir, "climbed"),
                        p.ns_path("/tmp/absolute"), p.ns_path("/tmp/outside/through")):
            self.assertFalse(os.path.lexists(outside), outside)
        self.assertEqual(os.listdir(p.ns_path("/tmp/outside")), [])


# Another account, as a neighbour sharing /tmp/.uci/ would be.
NEIGHBOUR = "setpriv --reuid 65534 --regid 65534 --clear-groups "


class Neighbours(PlugwatchCase):
    """What another account leaves at the package path is no package: it is
    left untouched, nothing is installed or recorded, one line in the run
    file says why, and the restart of all still follows."""

    def setUp(self):
        super().setUp()
        if namespace_mode() != "root":
            self.skipTest("acting as another account needs root (an unprivileged namespace maps one id)")

    def test_what_a_neighbour_leaves_is_refused(self):
        plant = NEIGHBOUR + "sh -c 'cat >/tmp/.uci/ttupgrade.tgz' <%(pkg)s"
        cases = (
            # (label, mode of /tmp/.uci/, code, planting, reason)
            ("FIFO", "0777", 130, NEIGHBOUR + "mkfifo /tmp/.uci/ttupgrade.tgz", "a FIFO"),
            ("link to a root-only file", "0777", 131,
             "echo secret >/tmp/secret && chmod 600 /tmp/secret && " + NEIGHBOUR +
             "ln -s /tmp/secret /tmp/.uci/ttupgrade.tgz", "a symbolic link"),
            ("link to an archive", "0777", 130, "cp %(pkg)s /tmp/pkg.tgz && " + NEIGHBOUR +
             "ln -s /tmp/pkg.tgz /tmp/.uci/ttupgrade.tgz", "a symbolic link"),
            ("another owner", "1777", 130, plant, "owned by uid 65534"),
            ("another owner", "1777", 131, plant, "owned by uid 65534"),
            ("directory", "0777", 131, NEIGHBOUR + "mkdir /tmp/.uci/ttupgrade.tgz", "a directory"),
            # Root's own, but anyone may rewrite it while tar reads it.
            ("root's, mode 0666", "0777", 130, "cp %(pkg)s /tmp/.uci/ttupgrade.tgz && chmod 666 /tmp/.uci/ttupgrade.tgz",
             "writable by others"),
            ("root's, mode 0666", "0777", 131, "cp %(pkg)s /tmp/.uci/ttupgrade.tgz && chmod 666 /tmp/.uci/ttupgrade.tgz",
             "writable by others"),
            # A second name of a root-only file elsewhere on the same file system.
            ("hard link", "1777", 130, "cp %(pkg)s /tmp/pkg.tgz && chmod 600 /tmp/pkg.tgz && "
             "ln /tmp/pkg.tgz /tmp/.uci/ttupgrade.tgz", "more than one link"),
            ("hard link", "1777", 131, "echo secret >/tmp/secret && chmod 600 /tmp/secret && "
             "ln /tmp/secret /tmp/.uci/ttupgrade.tgz", "more than one link"),
        )
        for label, mode, code, planting, reason in cases:
            with self.subTest(label, code=code):
                p = self.plugin(config=self.watch("zq-up"))
                p.add_worker("zq-up", '[ "$N" = 1 ] && finish %d\nidle' % code)
                pkg = p.make_package({"zq-up": IDLE})
                with open(os.path.join(p.data, "init.bin"), "w") as f:
                    f.write("old image")
                p.prepare("mkdir -p /tmp/.uci && chmod %s /tmp/.uci && %s" % (mode, planting % {"pkg": pkg}))
                p.start()
                up = p.wait_starts(2, "zq-up")
                self.assertEqual(p.argv(up[1].pid), ["zq-up", "-r", str(code)])
                self.assertIsNone(p.boot_record())
                self.assertEqual(sorted(os.listdir(p.data)), ["init.bin"])
                self.assertEqual(read(os.path.join(p.data, "init.bin")), "old image")
                self.assertTrue(os.path.lexists(p.uci("ttupgrade.tgz")), "a neighbour's file stays")
                lines = p.run_file().split("\n")
                self.assertRegex(lines[2], "^%s: upgrade package /tmp/\\.uci//ttupgrade\\.tgz refused: %s$"
                                 % (ASCTIME, reason))
                self.assertEqual(len(lines), 4, lines)
                self.assertIsNone(p.status())

    def test_a_keyed_plug_in_installs_only_packages_signed_with_its_key(self):
        if not VERIFY:
            self.skipTest("PLUGWATCH_VERIFY_BIN is not set")
        if shutil.which("signify-openbsd") is None:
            self.skipTest("signify-openbsd is missing (scripts/setup.sh installs it)")
        p = self.plugin(config=self.watch("zq-up"))
        keys = os.path.join(p.root, "keys")
        os.makedirs(keys)
        for k in ("ours", "theirs"):
            subprocess.run(["signify-openbsd", "-G", "-n", "-c", k, "-p", os.path.join(keys, k + ".pub"),
                            "-s", os.path.join(keys, k + ".sec")], check=True)
        shutil.copy(os.path.join(keys, "ours.pub"), os.path.join(p.files, "upgrade.pub"))
        good = p.make_package({"zq-up": IDLE}, path=os.path.join(keys, "good.tgz"))
        tampered = os.path.join(keys, "tampered.tgz")
        with open(good, "rb") as f, open(tampered, "wb") as out:
            out.write(f.read() + b"\0")

        def sign(package, key, sig):
            subprocess.run(["signify-openbsd", "-S", "-s", os.path.join(keys, key + ".sec"), "-m", package,
                            "-x", sig], check=True)
        sign(good, "ours", good + ".sig")
        sign(good, "theirs", os.path.join(keys, "theirs.sig"))
        # Each start stages the next case at the plug-in's own package path:
        # unsigned, signed with another key, altered after signing, good.
        steps = [(good, None), (good, os.path.join(keys, "theirs.sig")), (tampered, good + ".sig"),
                 (good, good + ".sig")]
        body = 'rm -f "$PLUGWATCH_PACKAGE" "$PLUGWATCH_PACKAGE.sig"\ncase $N in\n'
        for n, (package, sig) in enumerate(steps, 1):
            stage = 'cp %s "$PLUGWATCH_PACKAGE"' % shell_quote(package)
            if sig:
                stage += ' && cp %s "$PLUGWATCH_PACKAGE.sig"' % shell_quote(sig)
            body += '%d) %s; finish 130 ;;\n' % (n, stage)
        body += "esac\nidle"
        p.add_worker("zq-up", body)
        # The verifier on the supervisor's search path (through the emulator
        # for a build of another machine).
        bin_dir = os.path.join(p.root, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "plugwatch-verify"), "w") as f:
            f.write("#!/bin/sh\nexec %s %s \"$@\"\n" % (EMULATOR, shell_quote(VERIFY)))
        os.chmod(os.path.join(bin_dir, "plugwatch-verify"), 0o755)
        p.start(path=bin_dir + ":/usr/bin:/bin")
        up = p.wait_starts(5, "zq-up", timeout=60)
        self.assertEqual(p.argv(up[4].pid)[0], "../data//zq-up")
        refusals = [l.split(" refused: ")[1] for l in p.run_file().splitlines() if " refused: " in l]
        self.assertEqual(refusals, ["no signature", "key number differs", "bad signature"])
        self.assertIn('"plugindata":1', p.boot_record())
        # The good package and its signature are gone once installed.
        package = p.uci(p.name + ".ttupgrade.tgz")
        self.assertFalse(os.path.exists(package) or os.path.exists(package + ".sig"))

        # Without a key a signature is ignored, and left where it is.
        q = self.plugin(config=self.watch("zq-up"))
        unsigned = q.make_package({"zq-up": IDLE})
        q.add_worker("zq-up", '[ "$N" = 1 ] && { cp %s "$PLUGWATCH_PACKAGE" && cp %s "$PLUGWATCH_PACKAGE.sig"; '
                              'finish 130; }\nidle' % (shell_quote(unsigned), shell_quote(os.path.join(keys, "theirs.sig"))))
        q.start(path=bin_dir + ":/usr/bin:/bin")
        up = q.wait_starts(2, "zq-up")
        self.assertEqual(q.argv(up[1].pid)[0], "../data//zq-up")
        self.assertTrue(os.path.exists(q.uci(q.name + ".ttupgrade.tgz.sig")))

    def test_own_package_in_a_shared_directory_and_one_of_the_files_owner(self):
        # A worker that gave up root hands over a package as the account that
        # owns the plug-in's files directory.
        for owner in ("root", "files"):
            with self.subTest(owner):
                p = self.plugin(config=self.watch("zq-up"))
                pkg = p.make_package({"zq-up": IDLE})
                stage = 'cp %s /tmp/.uci/ttupgrade.tgz' % shell_quote(pkg)
                if owner == "files":
                    os.chown(p.files, 65534, 65534)
                    stage = 'cat %s | %s sh -c "cat >/tmp/.uci/ttupgrade.tgz"' % (shell_quote(pkg), NEIGHBOUR)
                p.add_worker("zq-up", '[ "$N" = 1 ] && { %s; finish 130; }\nidle' % stage)
                p.prepare("mkdir -p /tmp/.uci && chmod 1777 /tmp/.uci")
                p.start()
                p.wait_starts(2, "zq-up")
                self.assertEqual(p.boot_record(), '{"version":"24.01.11.17","plugindata":1}')
                self.assertFalse(os.path.lexists(p.uci("ttupgrade.tgz")))
                self.assertNotIn("refused", p.run_file())


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
