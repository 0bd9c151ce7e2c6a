"""Start-up: failures, the run file, where the supervisor runs from, the
configuration it reads, descriptor hygiene and the parent-death signal."""

import ctypes
import os
import signal
import stat
import subprocess
import sys
import time
import unittest

import harness
from harness import BINARY, PlugwatchCase, namespace_mode, read

IDLE = "idle"


class StartupFailures(PlugwatchCase):
    def assert_refused(self, p, expected_stdout):
        self.assertEqual(p.wait_exit(), 0)
        self.assertEqual(p.stdout(), expected_stdout)

    def test_bad_configurations_end_start_up(self):
        cases = {
            "missing": None,
            "empty": "",
            "not json": "{this is not json",
            "entry without base": self.watch("zqw-a") .replace('"base"', '"name"'),
            "base not a string": '{"__watch": {"processes": [{"base": 5}]}}',
            "second entry bad": '{"__watch": {"processes": [{"base": "zqw-a"}, {"excheck": true}]}}',
        }
        for label, text in cases.items():
            with self.subTest(label):
                p = self.plugin(workers={"zqw-a": IDLE})
                if text is not None:
                    p.write_config(text)
                p.start()
                self.assert_refused(p, "failed to init daemon\n")
                self.assertIsNone(p.run_file(), "run file must not be touched")
                self.assertEqual(p.starts(), [])

    def test_uci_directory_is_a_regular_file(self):
        p = self.plugin(config="{}")
        p.prepare("echo x > /tmp/.uci")
        binary = os.path.join(p.files, p.name)
        p.start()
        self.assert_refused(p, "failed to open /tmp/.uci/%s.run\nprocess(%s) already run\n"
                            % (p.name, binary))

    def test_planted_run_file_fifo_is_refused_and_left_alone(self):
        # Writes into a FIFO block once a pipe's worth is in it: refused at once.
        p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        p.prepare("mkdir -p /tmp/.uci && mkfifo /tmp/.uci/%s.run" % p.name)
        p.start()
        self.assert_refused(p, "failed to open /tmp/.uci/%s.run\nprocess(%s) already run\n"
                            % (p.name, os.path.join(p.files, p.name)))
        self.assertTrue(stat.S_ISFIFO(os.lstat(p.uci(p.name + ".run")).st_mode))
        self.assertEqual(p.starts(), [])

    def test_planted_run_file_link_is_refused_and_left_alone(self):
        for dangling in (False, True):
            with self.subTest(dangling=dangling):
                p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
                if not dangling:
                    p.prepare("echo precious > /tmp/victim")
                p.prepare("mkdir -p /tmp/.uci && ln -s /tmp/victim /tmp/.uci/%s.run" % p.name)
                binary = os.path.join(p.files, p.name)
                p.start()
                self.assert_refused(p, "failed to open /tmp/.uci/%s.run\nprocess(%s) already run\n"
                                    % (p.name, binary))
                self.assertEqual(os.readlink(p.uci(p.name + ".run")), "/tmp/victim")
                victim = p.ns_path("/tmp/victim")
                if dangling:
                    self.assertFalse(os.path.exists(victim))
                else:
                    self.assertEqual(read(victim), "precious\n")
                self.assertEqual(p.starts(), [])

    def test_run_file_made_first_by_another_account_is_replaced(self):
        if namespace_mode() != "root":
            self.skipTest("acting as another account needs root")
        neighbour = "setpriv --reuid 65534 --regid 65534 --clear-groups "
        # The lock is held before the supervisor starts.
        hold = ("(setsid %sflock -x %%(f)s sleep 100000 </dev/null >/dev/null 2>&1 &); "
                "while flock -n %%(f)s true; do sleep 0.01; done")
        cases = (
            # A neighbour made the run file first and holds its lock for ever.
            ("made and locked", neighbour + "sh -c ': >/tmp/.uci/%(n)s.run'; " + hold % neighbour, 65534, 1),
            # A second name of a root file elsewhere, locked by its owner.
            ("hard link", ": >/tmp/held; ln /tmp/held /tmp/.uci/%(n)s.run; " + hold % "", 0, 2),
        )
        for label, planting, uid, links in cases:
            with self.subTest(label):
                p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
                run = "/tmp/.uci/%s.run" % p.name
                p.prepare("mkdir -p /tmp/.uci && chmod 1777 /tmp/.uci && " + planting % {"n": p.name, "f": run})
                p.start()
                p.wait_starts(1)
                self.assertEqual(p.run_file(), "%s\nreplaced a run file of uid %d with %d links\n"
                                 % (p.files, uid, links))
                own = os.lstat(p.uci(p.name + ".run"))
                self.assertEqual((own.st_uid, own.st_nlink), (0, 1))
                self.assertIsNone(p.status())

    def test_second_instance_is_refused_and_leaves_the_first_intact(self):
        p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        p.start()
        p.wait_starts(1)
        before = p.run_file()
        binary = os.path.join(p.files, p.name)
        for attempt in range(2):
            r = p.ns_run("cd / && " + p.command_line(binary))
            self.assertEqual(r.returncode, 0)
            self.assertEqual(r.stdout, "already in use for /tmp/.uci/%s.run\nprocess(%s) already run\n"
                             % (p.name, binary))
        self.assertEqual(p.run_file(), before)
        self.assertIsNone(p.status(), "first instance keeps running")

    def test_missing_or_oversized_program_name(self):
        p = self.plugin(config="{}")
        p.start(argv0="x" * 5000)
        self.assert_refused(p, "program name longer than 4095 characters\n")
        # No argument zero at all: exec with an empty vector (which an
        # emulator cannot pass on).
        if harness.EMULATOR:
            return
        q = self.plugin(config="{}")
        binary = os.path.join(q.files, q.name)
        import shutil
        shutil.copy(BINARY, binary)
        libc = ctypes.CDLL(None, use_errno=True)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.dup2(w, 1)
            os.chdir(q.files)
            argv = (ctypes.c_char_p * 1)(None)
            libc.execv(binary.encode(), argv)
            os._exit(127)
        os.close(w)
        out = b""
        while True:
            chunk = os.read(r, 4096)
            if not chunk:
                break
            out += chunk
        os.close(r)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertEqual(out, b"no program name given, cannot name the run file\n")


class RunFileAndPlacement(PlugwatchCase):
    def test_run_file_holds_exactly_the_working_directory(self):
        for leftover in (None, "old instance text\nwith lines\n" * 50):
            with self.subTest(leftover=bool(leftover)):
                p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
                if leftover:
                    p.prepare("mkdir -p /tmp/.uci && printf '%%s' '%s' > /tmp/.uci/%s.run"
                              % (leftover.replace("\n", "\\n"), p.name))
                p.start()
                starts = p.wait_starts(1)
                self.assertEqual(p.run_file(), p.files + "\n")
                self.assertEqual(p.cwd(starts[0].pid), p.files)

    def test_start_by_absolute_relative_and_bare_name(self):
        # Absolute path, from an unrelated directory.
        p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        p.start(cwd="/")
        self.assertEqual(p.cwd(p.wait_starts(1)[0].pid), p.files)

        # Relative path with a slash, taken from the inherited directory.
        q = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        binary = os.path.join(q.files, q.name)
        q.start(argv0="%s/files/%s" % (q.name, q.name), binary=None, cwd=q.root)
        self.assertEqual(q.cwd(q.wait_starts(1)[0].pid), q.files)
        self.assertTrue(os.path.exists(binary))

        # Bare name: looked up under /nodra/apps.
        if not os.path.isdir("/nodra"):
            if os.geteuid() != 0:
                self.skipTest("/nodra is missing and cannot be created without root")
            os.makedirs("/nodra", exist_ok=True)
        b = self.plugin(name="zqbare", config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        import shutil
        shutil.copy(BINARY, os.path.join(b.files, b.name))
        b.prepare("mkdir -p /nodra/apps && cp -a %s /nodra/apps/" % b.plugin_dir)
        b.start(argv0="zqbare", binary=os.path.join(b.files, b.name), cwd="/")
        starts = b.wait_starts(1)
        self.assertEqual(b.cwd(starts[0].pid), "/nodra/apps/zqbare/files")
        self.assertEqual(b.run_file(), "/nodra/apps/zqbare/files\n")

    def test_extra_arguments_set_the_daemon_flag(self):
        for args in (["anything"], ["anything", ""]):
            with self.subTest(args=args):
                p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
                p.start(args=args)
                s = p.wait_starts(1)[0]
                self.assertEqual(p.argv(s.pid)[1:], ["-d"])

    def test_missing_data_directory_is_created(self):
        p = self.plugin(config=self.watch("zqw-a"), workers={"zqw-a": IDLE})
        os.rmdir(p.data)
        p.start()
        p.wait_starts(1)
        self.assertTrue(os.path.isdir(p.data))


class Configuration(PlugwatchCase):
    def test_default_worker(self):
        for text in ("{}", '{"__watch": {}}', '{"__watch": {"processes": []}}',
                     '{"__watch": {"processes": "zqw-a"}}', '{"other": 1}'):
            with self.subTest(text):
                p = self.plugin(config=text, workers={"quorin-dpi-inner": IDLE, "zqw-a": IDLE})
                p.start()
                s = p.wait_starts(1)[0]
                self.assertEqual(s.name, "quorin-dpi-inner")
                self.assertEqual(p.argv(s.pid), ["quorin-dpi-inner"])

    def test_keys_in_other_cases_and_excheck_values(self):
        text = ('{"__WATCH": {"Processes": [{"BASE": "zqw-a", "ExCheck": true},'
                ' {"base": "zqw-b", "excheck": 1}, {"base": "zqw-c", "excheck": "true"},'
                ' {"base": "zqw-d", "excheck": null}]}}')
        p = self.plugin(config=text, workers={n: IDLE for n in ("zqw-a", "zqw-b", "zqw-c", "zqw-d")})
        p.start()
        starts = {s.name: s for s in p.wait_starts(4)}
        self.assertEqual(p.argv(starts["zqw-a"].pid), ["zqw-a", "-A", "/tmp/.uci//zqw-a.alive"])
        for name in ("zqw-b", "zqw-c", "zqw-d"):
            self.assertEqual(p.argv(starts[name].pid), [name])

    def test_processes_as_object_and_more_than_four_entries(self):
        p = self.plugin(config='{"__watch": {"processes": {"x": {"base": "zqw-a"}, "y": {"base": "zqw-b"}}}}',
                        workers={"zqw-a": IDLE, "zqw-b": IDLE})
        p.start()
        self.assertEqual(sorted(s.name for s in p.wait_starts(2)), ["zqw-a", "zqw-b"])

        names = ["zqw-%d" % i for i in range(6)]
        q = self.plugin(config=self.watch(*names), workers={n: IDLE for n in names})
        q.start()
        q.wait_starts(4)
        time.sleep(0.5)
        self.assertEqual(sorted(s.name for s in q.starts()), names[:4])

    def test_names_are_never_run_by_the_shell(self):
        names = ["zqw;touch injected1", "$(touch injected2)", "zq'w`touch injected3`"]
        p = self.plugin(config=self.watch(*names), workers={n: "finish 160" for n in names[:1]})
        for n in names[1:]:
            p.add_worker(n, IDLE)
        p.start()
        # Exit 160 makes a second pass, which runs the kill command again.
        p.wait_starts(5)
        for marker in ("injected1", "injected2", "injected3"):
            for d in (p.files, p.root, "/"):
                self.assertFalse(os.path.exists(os.path.join(d, marker)), marker)
        # The quoted kill command still reaches the workers by name.
        self.assertIn("No such pid(", p.stdout())


class LongNames(PlugwatchCase):
    def test_long_program_and_alive_paths_pass_whole(self):
        # A "base" may hold slashes: a path of 300 characters, longer than
        # any single argument text the launcher once allowed for.
        sub = "/".join(["d%02d" % i + "x" * 40 for i in range(7)])
        base = sub + "/zq-long"
        self.assertGreater(len(base), 255)
        p = self.plugin(config=self.watch((base, "true")))
        os.makedirs(os.path.join(p.files, sub))
        p.add_worker(base, first_run_then_idle_text("finish 5"))
        p.start()
        starts = p.wait_starts(2)
        self.assertEqual(p.argv(starts[0].pid), [base, "-A", "/tmp/.uci//%s.alive" % base])
        self.assertEqual(p.argv(starts[1].pid), [base, "-r", "5", "-A", "/tmp/.uci//%s.alive" % base])
        # The event line is written whole, however long the name.
        lines = p.run_file().split("\n")
        self.assertTrue(lines[1].endswith(": %s exited normally with code(5)" % base), lines[1])


def first_run_then_idle_text(action):
    return '[ "$N" = 1 ] && %s\nidle' % action


class Descriptors(PlugwatchCase):
    def test_descriptor_hygiene(self):
        p = self.plugin(config=self.watch("zqw-a", "zqw-b"), workers={"zqw-a": IDLE, "zqw-b": IDLE})
        p.start(inherit_fd=True)
        starts = p.wait_starts(2)
        sup = p.supervisor_pid()
        own = {int(fd): os.readlink("/proc/%d/fd/%s" % (sup, fd)) for fd in os.listdir("/proc/%d/fd" % sup)}
        self.assertNotIn(7, own, "inherited descriptor must be closed at start-up")
        self.assertEqual(sorted(own), [0, 1, 2, 3, 4, 5])
        self.assertTrue(own[3].endswith("/tmp/.uci/%s.run" % p.name))
        # The state file and its spare, kept open for the next write.
        self.assertEqual({os.path.basename(own[4]), os.path.basename(own[5])},
                         {p.name + ".state", p.name + ".state.spare"})
        inherited = {os.path.join(p.out, "stdout"), os.path.join(p.out, "stderr")}
        for s in starts:
            fds = p.fds(s.pid)
            self.assertTrue({0, 1, 2} <= set(fds))
            for fd, target in fds.items():
                if fd > 2:
                    # Only the shell's own handles may be open: the script,
                    # its saved copies of the output and error it inherited,
                    # and the clock that the time-shifting preload opens.
                    own = target.endswith("/" + s.name) or target.startswith("/dev/shm/faketime")
                    self.assertTrue(own or target in inherited, (fd, target))

    def test_workers_get_sigterm_when_the_supervisor_dies(self):
        for sig in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(sig=sig):
                p = self.plugin(config=self.watch("zqw-a", "zqw-b"),
                                workers={"zqw-a": IDLE, "zqw-b": IDLE})
                p.start()
                starts = p.wait_starts(2)
                os.kill(p.supervisor_pid(), sig)
                # Under an emulator a worker may get it twice: the kernel sends
                # it again as the child passes from one of the emulator's
                # threads to another on the way to init.
                termed = lambda: sorted({e.pid for e in p.events() if e.kind == "term"})
                p.wait_until(lambda: len(termed()) == 2, 10, "SIGTERM in both workers")
                self.assertEqual(termed(), sorted(s.pid for s in starts))


if __name__ == "__main__":
    unittest.main()
