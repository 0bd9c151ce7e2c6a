"""plugwatch-status against live supervisors: up, down during a delay, after a
watchdog kill, after a restart of all, booted from data/, not running, no
such instance, extra copies, and the JSON keys."""

import json
import os
import unittest

import harness
from harness import EMULATOR, FAULT_FORK_LIB, PlugwatchCase, shell_quote

STATUS = os.environ.get("PLUGWATCH_STATUS_BIN", "")
INSTANCE_KEYS = {"name", "run_file", "running", "pid", "started", "directory", "boot", "boot_record",
                 "package", "workers"}
WORKER_KEYS = {"name", "state", "pid", "started", "options", "restart_code", "alive_file", "last_end",
               "ends", "restart_due", "extra_pids"}


def status(p, *args):
    """(exit status, output) of plugwatch-status run inside the namespace."""
    cmd = " ".join([EMULATOR, shell_quote(STATUS)] + [shell_quote(a) for a in args]).strip()
    r = p.ns_run(cmd)
    return r.returncode, r.stdout + r.stderr


def instance(p, *args):
    code, out = status(p, "--json", *args)
    doc = json.loads(out)
    return code, doc["instances"][0], {w["name"]: w for w in doc["instances"][0]["workers"]}


class Status(PlugwatchCase):
    def setUp(self):
        super().setUp()
        if not STATUS:
            self.skipTest("PLUGWATCH_STATUS_BIN is not set")

    def test_up_down_during_a_delay_then_up_again(self):
        workers = {"zq-up": "keep_alive 30", "zq-crash": '[ "$N" = 1 ] && crash 11\nidle',
                   "zq-renamed": "exec sleep 100000"}
        p = self.plugin(config=self.watch(("zq-up", "true"), "zq-crash", "zq-renamed"), workers=workers, speed=10)
        p.start()
        p.wait_until(lambda: "killed by signal(11)" in (p.run_file() or ""), 30, "the segfault")
        # Within the 60 s segfault delay (6 s of real time at x10).
        code, inst, w = instance(p)
        self.assertEqual(code, 1)
        self.assertEqual(set(inst) & INSTANCE_KEYS, INSTANCE_KEYS)
        self.assertEqual((inst["running"], inst["boot"], inst["directory"]), (True, "files", p.files))
        self.assertIsNone(inst["boot_record"])
        self.assertEqual(inst["package"], None)
        for worker in w.values():
            self.assertEqual(set(worker) & WORKER_KEYS, WORKER_KEYS)
        crash = w["zq-crash"]
        self.assertEqual((crash["state"], crash["pid"], crash["last_end"]["how"], crash["last_end"]["code"]),
                         ("down", None, "signal", 11))
        self.assertEqual(crash["restart_due"] - crash["last_end"]["time"], 60)
        self.assertEqual(crash["ends"], {"exit": {}, "signal": {"11": 1}, "watchdog": 0})
        up = w["zq-up"]
        self.assertEqual((up["state"], up["options"], up["restart_code"]), ("up", ["-A", "/tmp/.uci//zq-up.alive"], 0))
        self.assertEqual(up["alive_file"]["path"], "/tmp/.uci//zq-up.alive")
        self.assertIsNotNone(up["alive_file"]["age"])
        self.assertEqual((w["zq-renamed"]["state"], w["zq-renamed"]["runs_as"]), ("up", "sleep"))
        code, text = status(p, p.name)
        self.assertEqual(code, 1)
        lines = text.splitlines()
        self.assertRegex(lines[0], r"^pwtest: run \(pid \d+\) \d+s, since ")
        self.assertRegex(text, r"(?m)^  zq-crash +down since \S+ \(sig 11\), due \S+; ends sig 11 x1$")
        self.assertIn("runs as sleep", text)
        self.assertEqual(lines[1], "  directory " + p.files)
        self.assertEqual(lines[2], "  boot files; bootchk none; no package")
        for line in lines[2:lines.index("  last events:")]:
            self.assertLessEqual(len(line), 80, line)
        self.assertIn("zq-crash killed by signal(11)", lines[-1])
        # After the delay: every worker up, the code handed on.
        p.wait_starts(2, "zq-crash", timeout=30)
        code, inst, w = instance(p, os.path.join(p.files, p.name))
        self.assertEqual(code, 0)
        self.assertEqual((w["zq-crash"]["state"], w["zq-crash"]["restart_code"]), ("up", 11))
        self.assertIsNone(w["zq-crash"]["restart_due"])

    def test_watchdog_kill_and_restart_all_into_data(self):
        boss = '[ "$N" = 1 ] && { cp %s /tmp/.uci/ttupgrade.tgz; finish 130; }\nidle'
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
        self.assertIn("?[2J", status(p, "odd")[1])
        self.assertEqual(json.loads(status(p, "--json", "odd")[1])["instances"][0]["workers"], [])

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
