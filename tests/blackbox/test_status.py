"""plugwatch-status against live supervisors, from the state file each one
writes: up, waiting out a delay, ended behind another's delay, installing,
after a watchdog kill, a restart of all and a cut of the run file; names that
must not reach a terminal raw; a state file planted, replaced or not to be
trusted; not running, no such instance, extra copies, and the JSON keys."""

import json
import os
import subprocess
import time
import unittest

import harness
from harness import EMULATOR, FAULT_FORK_LIB, PlugwatchCase, pwsandbox, shell_quote

STATUS = os.environ.get("PLUGWATCH_STATUS_BIN", "")
INSTANCE_KEYS = {"name", "run_file", "running", "pid", "started", "directory", "boot", "boot_record",
                 "package", "workers", "state_file", "pass", "restart_code", "segv_count", "install",
                 "refused_packages", "plugwatch_version", "version_stamp", "record_deleted", "config_problem"}
WORKER_KEYS = {"name", "state", "pid", "started", "options", "restart_code", "alive_file", "last_end",
               "ends", "restart_due", "due_in", "misses", "extra_pids"}


def status(p, *args):
    """(exit status, output) of plugwatch-status run inside the namespace."""
    cmd = " ".join([EMULATOR, shell_quote(STATUS)] + [shell_quote(a) for a in args]).strip()
    r = p.ns_run(cmd)
    return r.returncode, r.stdout + r.stderr


def status_bytes(p, *args):
    cmd = " ".join([EMULATOR, shell_quote(STATUS)] + [shell_quote(a) for a in args]).strip()
    r = subprocess.run(pwsandbox.nsenter_prefix(p.init_pid) + ["bash", "-c", cmd], capture_output=True, timeout=30)
    return r.returncode, r.stdout


def instance(p, *args):
    code, out = status_bytes(p, "--json", *args)
    doc = json.loads(out.decode("utf-8", errors="strict"))
    return code, doc["instances"][0], {w["name"]: w for w in doc["instances"][0]["workers"]}


class Status(PlugwatchCase):
    def setUp(self):
        super().setUp()
        if not STATUS:
            self.skipTest("PLUGWATCH_STATUS_BIN is not set")

    def test_up_waiting_ended_then_up_again(self):
        workers = {"zq-up": "keep_alive 30", "zq-crash": '[ "$N" = 1 ] && crash 11\nidle',
                   "zq-renamed": "exec sleep 100000", "zq-late": '[ "$N" = 1 ] && { sleep 20; finish 3; }\nidle'}
        p = self.plugin(config=self.watch(("zq-up", "true"), "zq-crash", "zq-renamed", "zq-late"), workers=workers,
                        speed=10)
        launched = int(time.time())
        p.start()
        p.wait_until(lambda: "killed by signal(11)" in (p.run_file() or ""), 30, "the segfault")
        late = p.wait_starts(1, "zq-late")[0]
        p.wait_until(lambda: any(e.kind == "end" and e.name == "zq-late" for e in p.events()), 30, "zq-late's end")
        # Within the 60 s segfault delay (6 s of real time at x10): zq-late
        # has ended but waits behind the delay to be collected. It ends 20 s
        # after its start, well after the crash even on a slow emulator.
        asked = int(time.time())
        code, inst, w = instance(p)
        answered = int(time.time()) + 1
        self.assertEqual(code, 1)
        self.assertEqual(set(inst) & INSTANCE_KEYS, INSTANCE_KEYS)
        self.assertEqual((inst["running"], inst["boot"], inst["directory"]), (True, "files", p.files))
        self.assertTrue(launched - 1 <= inst["started"] <= answered, (launched, inst["started"], answered))
        self.assertIsNone(inst["boot_record"])
        self.assertEqual(inst["package"], None)
        for worker in w.values():
            self.assertEqual(set(worker) & WORKER_KEYS, WORKER_KEYS)
        crash = w["zq-crash"]
        self.assertEqual((crash["state"], crash["pid"], crash["last_end"]["how"], crash["last_end"]["code"]),
                         ("waiting", None, "signal", 11))
        self.assertEqual(crash["restart_due"] - crash["last_end"]["time"], 60)
        # Seconds from the moment the tool looked to the restart.
        self.assertGreaterEqual(crash["restart_due"] - crash["due_in"], asked)
        self.assertLessEqual(crash["restart_due"] - crash["due_in"], answered)
        self.assertEqual(crash["ends"], {"exit": {}, "signal": {"11": 1}, "watchdog": 0, "other": 0})
        self.assertEqual((w["zq-late"]["state"], w["zq-late"]["pid"], w["zq-late"]["last_end"]),
                         ("ended", late.pid, None))
        self.assertEqual((inst["pass"], inst["segv_count"], inst["state_file"]["trusted"]), (1, 1, True))
        up = w["zq-up"]
        self.assertEqual((up["state"], up["options"], up["restart_code"]), ("up", ["-A", "/tmp/.uci//zq-up.alive"], 0))
        self.assertEqual(up["alive_file"]["path"], "/tmp/.uci//zq-up.alive")
        self.assertIsNotNone(up["alive_file"]["age"])
        self.assertEqual((w["zq-renamed"]["state"], w["zq-renamed"]["runs_as"]), ("up", "sleep"))
        code, text = status(p, p.name)
        self.assertEqual(code, 1)
        lines = text.splitlines()
        self.assertRegex(lines[0], r"^pwtest: run \(pid \d+\) \d+s, since ")
        self.assertRegex(text, r"(?m)^  zq-crash +waiting since \S+ \(sig 11\), due in \d+s; ends sig 11 x1$")
        self.assertRegex(text, r"(?m)^  zq-late +ended \(pid %d\), not yet collected$" % late.pid)
        self.assertIn("runs as sleep", text)
        self.assertEqual(lines[1], "  directory " + p.files)
        self.assertEqual(lines[2], "  boot files; bootchk none; no package")
        self.assertRegex(lines[3], r"^  pass 1 since \S+, restart code 0, segv restarts 1$")
        for line in lines[2:lines.index("  last events:")]:
            self.assertLessEqual(len(line), 80, line)
        self.assertIn("zq-crash killed by signal(11)", lines[-1])
        # After the delay: every worker up, the code handed on.
        p.wait_starts(2, "zq-crash", timeout=30)
        p.wait_starts(2, "zq-late", timeout=30)
        code, inst, w = instance(p, os.path.join(p.files, p.name))
        self.assertEqual(code, 0)
        self.assertEqual((w["zq-crash"]["state"], w["zq-crash"]["restart_code"]), ("up", 11))
        self.assertIsNone(w["zq-crash"]["restart_due"])
        self.assertEqual((w["zq-late"]["last_end"]["code"], w["zq-late"]["ends"]["exit"]), (3, {"3": 1}))

    def test_watchdog_kill_and_restart_all_into_data(self):
        # Asks once zq-silent runs, so that its first start is on record.
        boss = ('[ "$N" = 1 ] && { until grep -q "^start${T}zq-silent${T}" "$R/events"; do sleep 1; done\n'
                'cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle')
        workers = {"zq-silent": "idle", "zq-boss": None}
        p = self.plugin(config=self.watch(("zq-silent", "true"), "zq-boss"))
        package = p.make_package({"zq-silent": "idle", "zq-boss": "idle"})
        workers["zq-boss"] = boss % package
        for name, body in workers.items():
            p.add_worker(name, body)
        p.start()
        silent = p.wait_starts(3, "zq-silent", timeout=60)
        self.assertEqual(p.argv(silent[2].pid)[1:3], ["-r", "199"])
        code, inst, w = instance(p)
        self.assertEqual(code, 0)
        self.assertEqual(inst["boot"], "data")
        self.assertEqual(inst["boot_record"]["plugindata"], 1)
        s = w["zq-silent"]
        self.assertEqual((s["restart_code"], s["last_end"]["how"], s["ends"]["watchdog"]), (199, "watchdog", 1))
        self.assertEqual(s["options"][:3], ["-r", "199", "-A"])
        self.assertIn("-T", s["options"])
        self.assertIsNone(s["alive_file"]["age"])
        b = w["zq-boss"]
        self.assertEqual((b["restart_code"], b["last_end"]["how"], b["last_end"]["code"]), (130, "exit", 130))
        self.assertEqual(b["ends"]["exit"], {"130": 1})
        self.assertEqual(inst["install"]["outcome"], "unpacked")
        # The file itself, as a shell user reads it.
        text = p.state_file()
        for line in ("data_dir 1", "worker 0 name zq-silent", "worker 1 name zq-boss",
                     "worker 0 ends watchdog:9=1 other=0", "worker 1 ends exit:130=1 other=0"):
            self.assertIn(line + "\n", text)
        self.assertRegex(text, r"(?m)^install 130 unpacked \d+ \d+ \d+ \d+$")
        self.assertRegex(text, r"(?m)^pass 2 ")
        self.assertRegex(text, r"(?m)^worker 0 options -r 199 -A /tmp/\.uci//zq-silent\.alive -T /tmp/\.uci/ -D "
                               r"\.\./data/ -O \S+$")
        self.assertRegex(text, r"(?m)^worker 0 end \d+ \d+ watchdog 9$")

    def test_installing_while_tar_runs(self):
        # A tar that waits for the test's word before it unpacks, bound over
        # the real one inside the namespace.
        boss = '[ "$N" = 1 ] && { cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle'
        p = self.plugin(config=self.watch("zq-other", "zq-boss"))
        package = p.make_package({"zq-other": "idle", "zq-boss": "idle"})
        p.add_worker("zq-other", "idle")
        p.add_worker("zq-boss", boss % package)
        gate = os.path.join(p.root, "tar-go")
        slow = os.path.join(p.root, "slowtar")
        with open(slow, "w") as f:
            f.write("#!/bin/sh\nunset LD_PRELOAD\n: >%s/tar-waits\nwhile [ ! -e %s ]; do sleep 0.01; done\nexec %s/realtar \"$@\"\n"
                    % (p.root, gate, p.root))
        os.chmod(slow, 0o755)
        p.prepare('real=$(command -v tar) && cp "$real" %s/realtar && mount --bind %s "$real"' % (p.root, slow))
        p.start()
        p.wait_until(lambda: os.path.exists(os.path.join(p.root, "tar-waits")), 30, "the install's tar")
        code, inst, w = instance(p)
        self.assertEqual(code, 1)
        self.assertEqual((w["zq-boss"]["state"], w["zq-boss"]["pid"]), ("installing", None))
        self.assertEqual(w["zq-other"]["state"], "up")
        self.assertEqual((inst["install"]["code"], inst["install"]["outcome"], inst["install"]["ended"]),
                         (130, "running", None))
        # The install's shell is a child of the supervisor, but no worker.
        self.assertEqual(len(inst["other_pids"]), 1)
        self.assertRegex(status(p)[1], r"(?m)^  zq-boss +installing since \S+ \(exit 130\); ends exit 130 x1$")
        open(gate, "w").close()
        p.wait_starts(2, "zq-boss")
        code, inst, w = instance(p)
        self.assertEqual((code, inst["install"]["outcome"], inst["boot"]), (0, "unpacked", "data"))

    def test_counts_survive_a_cut_of_the_run_file(self):
        # A name of some 3,800 characters (directories in files/): each end
        # takes about 4 KiB of the 64 KiB run file. Every tenth start crashes.
        name = "/".join(["d" * 200] * 19) + "/zq-loop"
        p = self.plugin(config=self.watch(name), speed=1000)
        os.makedirs(os.path.dirname(os.path.join(p.files, name)))
        p.add_worker(name, 'case $N in 10|20|30|40) crash 11;; esac\nfinish 1')
        p.start()
        p.wait_until(lambda: (p.run_file() or "").count("killed by signal(11)") > 0 and len(p.starts()) >= 40, 120,
                     "the fourth segfault")
        p.wait_until(lambda: "segv_count 4" in p.state_file(), 30, "the fourth segfault's delay")
        code, inst, w = instance(p)
        loop = w[name]
        self.assertEqual((code, loop["state"], inst["segv_count"]), (1, "waiting", 4))
        self.assertEqual(loop["restart_due"] - loop["last_end"]["time"], 7200)
        self.assertEqual(loop["ends"]["signal"], {"11": 4})
        self.assertEqual(loop["ends"]["exit"], {"1": 36})
        run = p.run_file()
        self.assertIn("earlier events dropped", run)
        self.assertLess(run.count("killed by signal(11)"), 4)

    def test_names_reach_the_terminal_inert(self):
        # Escape sequences (a window title, a screen clear, the 8-bit CSI) in
        # a name from config, and a byte that is not UTF-8.
        evil = "zq-\x1b]0;owned\x07\x1b[2J\u009b6n"
        raw = b"zq-\xff\xfe"
        config = ('{"__watch": {"processes": [{"base": %s}, {"base": "' % harness.json_string(evil)).encode() + raw + b'"}]}}'
        p = self.plugin()
        with open(os.path.join(p.files, "config"), "wb") as f:
            f.write(config)
        p.add_worker(evil, "idle")
        # A boot-check record with the same byte in a value and in a key.
        with open(os.path.join(p.data, ".bootchk"), "wb") as f:
            f.write(b'{"version":"24.01.11.17","note":"' + raw + b'","' + raw + b'":[1]}')
        path = os.path.join(p.files.encode(), raw)
        with open(path, "wb") as f:
            f.write(p.worker_script("raw", "idle").encode())
        os.chmod(path, 0o755)
        p.start()
        p.wait_starts(2)
        code, out = status_bytes(p)
        self.assertEqual(code, 0, out)
        for byte in (b"\x1b", b"\x07", b"\xc2\x9b", b"\xff"):
            self.assertNotIn(byte, out)
        self.assertIn(b"zq-\\x1b]0;owned\\x07\\x1b[2J\\xc2\\x9b6n", out)
        self.assertIn(b"zq-\\xff\\xfe", out)
        code, inst, w = instance(p)
        self.assertEqual(set(w), {evil, "zq-\\xff\\xfe"})
        self.assertEqual(inst["boot_record"], {"version": "24.01.11.17", "note": "zq-\\xff\\xfe", "zq-\\xff\\xfe": [1]})

    def test_planted_and_untrusted_state_files(self):
        workers = {"zq-a": "idle", "zq-pkg": '[ "$N" = 1 ] && finish 130\nidle'}
        for plant in ("ln -s /tmp/target /tmp/.uci/pwtest.state", "mkfifo /tmp/.uci/pwtest.state"):
            p = self.plugin(config=self.watch(*workers), workers=workers)
            # A neighbour's FIFO where the package goes; an open shared directory.
            p.prepare("mkdir -p /tmp/.uci && " + plant + " && mkfifo /tmp/.uci/ttupgrade.tgz && chmod 0777 /tmp/.uci")
            p.start()
            p.wait_starts(2, "zq-pkg")
            self.assertTrue(os.path.isfile(p.uci("pwtest.state")) and not os.path.islink(p.uci("pwtest.state")))
            self.assertFalse(os.path.exists(p.ns_path("/tmp/target")))
            code, out = status_bytes(p, "--json")
            doc = json.loads(out)
            inst = doc["instances"][0]
            self.assertEqual((code, inst["state_file"]["trusted"]), (0, True))
            self.assertEqual(doc["shared_dir"]["warnings"], ["writable by others without the sticky bit"])
            self.assertEqual((inst["refused_packages"]["count"], inst["refused_packages"]["last_reason"]), (1, "a FIFO"))
            self.assertIn("WARNING: /tmp/.uci/ is writable by others", status(p)[1])
            # Not the supervisor's account: its word is not taken.
            p.ns_run("chown 65534 /tmp/.uci/pwtest.state")
            code, inst, w = instance(p)
            self.assertEqual((code, inst["state_file"]["trusted"]), (1, False))
            self.assertEqual(inst["state_file"]["problem"],
                             "the run file, its lock holder and the state file are not of one account")
            self.assertEqual({x["state"] for x in w.values()}, {"unknown"})
            self.assertEqual(len(inst["other_pids"]), 2)
            p.stop()

    def test_a_neighbours_lock_and_state_file_and_a_clock_step(self):
        p = self.plugin(config=self.watch("zq-a"), workers={"zq-a": "idle"})
        p.start()
        p.wait_starts(1)
        # The wall clock stepped an hour since the state file was written (a
        # gateway without a real-time clock meets its time server): the
        # supervisor is still recognised by its start in clock ticks.
        p.ns_run("touch -d @$(( $(date +%%s) - 3600 )) /tmp/.uci/%s.state" % p.name)
        code, inst, w = instance(p, p.name)
        self.assertEqual((code, inst["state_file"]["trusted"], w["zq-a"]["state"]), (0, True, "up"))
        if harness.namespace_mode() != "root":
            return
        # No supervisor of "demo" runs: a neighbour made its run file (naming
        # this plug-in's directory), holds the lock, and wrote a state file
        # naming the lock's holder and its child.
        forged = ("printf 'plugwatch-state 1\\npid %%s %%s\\nworker 0 name zq-a\\nworker 0 pid %%s\\n' "
                  "$PPID $(cut -d\\) -f2 /proc/$PPID/stat | cut -d' ' -f21) $$ >/tmp/.uci/demo.state; "
                  "exec sleep 100000")
        p.ns_run("chmod 1777 /tmp/.uci && printf '%s\\n' >/tmp/.uci/demo.run && chown 65534 /tmp/.uci/demo.run && "
                 "(setsid setpriv --reuid 65534 --regid 65534 --clear-groups flock -x /tmp/.uci/demo.run sh -c %s "
                 "</dev/null >/dev/null 2>&1 &) && while [ ! -s /tmp/.uci/demo.state ]; do sleep 0.01; done"
                 % (p.files, shell_quote(forged)))
        code, inst, w = instance(p, "demo")
        self.assertEqual((code, inst["running"], inst["state_file"]["trusted"]), (1, True, False))
        self.assertEqual(inst["state_file"]["problem"], "kept by an account that is neither root nor yours")
        self.assertEqual(w["zq-a"]["state"], "unknown")

    def test_not_running_and_no_such_instance(self):
        p = self.plugin(config=self.watch("zq-boot"), workers={"zq-boot": "finish 129"})
        # Run files of no supervisor: binary with an escape sequence, empty, a folder.
        p.prepare("mkdir -p /tmp/.uci/dir.run && : >/tmp/.uci/empty.run && "
                  "{ printf '/x\\n\\033[2J'; head -c 5000 /dev/zero | tr '\\0' '\\001'; } >/tmp/.uci/odd.run")
        p.start()
        p.wait_exit()
        code, inst, w = instance(p)
        self.assertEqual(code, 3)
        self.assertEqual((inst["running"], inst["pid"], inst["boot"]), (False, None, None))
        self.assertEqual((w["zq-boot"]["state"], w["zq-boot"]["restart_due"]), ("down", None))
        code, text = status(p)
        self.assertEqual(code, 3)
        self.assertIn("pwtest: down (run file /tmp/.uci/pwtest.run left behind)", text)
        for args in (["nosuch"], ["--bogus"], [p.name, "nosuch"]):
            code, text = status(p, *args)
            self.assertEqual(code, 4, args)
        self.assertIn("no such instance: nosuch", text)
        for name in ("odd", "empty", "dir"):
            code, text = status(p, name)
            self.assertEqual(code, 3, text)
            self.assertNotIn("\033", text)
        self.assertIn("\\x1b[2J\\x01\\x01", status(p, "odd")[1])
        self.assertEqual(json.loads(status(p, "--json", "odd")[1])["instances"][0]["workers"], [])

    def test_an_outdated_record_deleted_and_a_config_gone_bad(self):
        p = self.plugin(config=self.watch("zq-w"), workers={"zq-w": "idle"})
        with open(os.path.join(p.data, ".bootchk"), "w") as f:
            f.write('{"version":"23.12.31.23","plugindata":1}')
        p.add_worker("zq-w", "idle", directory=p.data)
        p.start()
        p.wait_starts(1, "zq-w")
        # The pass's facts are written once all its workers are started.
        p.wait_until(lambda: "\nrecord_deleted " in p.state_file(), 30, "the state file's record line")
        self.assertIsNone(p.boot_record())
        self.assertRegex(p.run_file(), r"(?m)^.+: boot-check record of version 23\.12\.31\.23 deleted: "
                                       r"older than 24\.01\.11\.17$")
        self.assertRegex(p.state_file(), r"(?m)^record_deleted \d+ \d+ 23\.12\.31\.23\n")
        code, inst, _ = instance(p)
        self.assertEqual((code, inst["boot"], inst["version_stamp"]), (0, "files", "24.01.11.17"))
        self.assertRegex(inst["plugwatch_version"], r"^\d+\.\d+")
        self.assertEqual(inst["record_deleted"]["version"], "23.12.31.23")
        self.assertIsNone(inst["config_problem"])
        code, text = status(p, p.name)
        self.assertRegex(text, r"(?m)^  WARNING: boot-check record of version 23\.12\.31\.23 deleted at \S+, "
                               r"older than this plugwatch")
        self.assertRegex(text, r"(?m)^  plugwatch \d+\.\d+\S*, version stamp 24\.01\.11\.17$")
        # The config edited badly while it runs: the next start would fail.
        p.write_config('{"__watch": {"processes": [{"base": "zq-w"},\n  {"base": }]}}')
        code, text = status(p, p.name)
        self.assertIn("  config refused (not JSON at line 2, column 12): the next start of this plug-in fails",
                      text)
        # Stopped at start-up by it, with no run file: the reason, for the
        # program path the platform starts.
        p.stop()
        p.write_config('{"__watch": {"processes": [{"base": "zq-w"}, {"exe": "x"}]}}')
        p.start()
        self.assertEqual(p.wait_exit(), 0)
        self.assertIn("failed to init daemon", p.stdout())
        program = os.path.join(p.files, p.name)
        code, text = status(p, program)
        self.assertEqual(code, 4)
        self.assertIn("config %s/config refused: no usable worker list: entry 2 of __watch.processes has no "
                      '"base" text' % p.files, text)
        code, text = status(p, "--version")
        self.assertRegex(text, r"^plugwatch-status \d+\.\d+\S* \(plugwatch version stamp 24\.01\.11\.17\)$")

    def test_extra_copies(self):
        if not FAULT_FORK_LIB:
            self.skipTest("PLUGWATCH_FAULT_FORK_LIB is not set")
        # Kills that reach nothing: no kill() and no killall on the path.
        workers = {"zq-a": "idle", "zq-b": '[ "$N" = 1 ] && { sleep 20; finish 160; }\nidle'}
        p = self.plugin(config=self.watch(*workers), workers=workers)
        bindir = os.path.join(p.root, "bin")
        os.makedirs(bindir)
        p.start(preload=[FAULT_FORK_LIB], env_extra={"PW_FAIL_KILL": "1"}, path=bindir)
        a = p.wait_starts(2, "zq-a")
        code, inst, w = instance(p)
        self.assertEqual(w["zq-a"]["pid"], a[1].pid)
        self.assertEqual(w["zq-a"]["extra_pids"], [a[0].pid])
        code, text = status(p)
        self.assertIn("EXTRA COPIES: pid %d" % a[0].pid, text)


if __name__ == "__main__":
    unittest.main()
