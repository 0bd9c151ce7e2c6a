"""Exit reaping, the restart policy and the supervision cycle."""

import os
import re
import unittest

from harness import ASCTIME, PlugwatchCase, read

IDLE = "idle"


def first_run_then_idle(action):
    return '[ "$N" = 1 ] && %s\nidle' % action


class SingleRestarts(PlugwatchCase):
    def test_each_worker_is_restarted_alone_after_ten_seconds(self):
        workers = {
            "zq-five": first_run_then_idle("finish 5"),
            "zq-zero": first_run_then_idle("{ sleep 20; finish 0; }"),
            "zq-eleven": first_run_then_idle("{ sleep 40; finish 11; }"),
            "zq-term": first_run_then_idle("{ sleep 60; crash 15; }"),
            }
        p = self.plugin(config=self.watch(*workers), workers=workers)
        p.start()
        for name in workers:
            p.wait_starts(2, name)
        expected_args = {"zq-five": ["-r", "5"], "zq-zero": [], "zq-eleven": ["-r", "11"],
                         "zq-term": ["-r", "15"]}
        for name, args in expected_args.items():
            first, second = p.starts(name)
            self.assertEqual(p.argv(second.pid), [name] + args, name)
            self.assertEqual(p.argv(first.pid), [name], name)
            end = [e for e in p.events() if e.kind == "end" and e.pid == first.pid][0]
            self.assertGreaterEqual(second.time - end.time, 10, name)
            self.assertLess(second.time - end.time, 60, name)
        out = p.stdout()
        self.assertEqual(out.count("Will restart normal prog after 10 secs\n"), 4)
        self.assertNotIn("segv", out)
        lines = p.run_file().split("\n")
        self.assertEqual(lines[0], p.files)
        events = lines[1:-1]
        self.assertEqual(len(events), 4, events)
        for pattern in (r"zq-five exited normally with code\(5\)", r"zq-zero exited normally with code\(0\)",
                        r"zq-eleven exited normally with code\(11\)", r"zq-term killed by signal\(15\)"):
            self.assertTrue(any(re.fullmatch(ASCTIME + ": " + pattern, l) for l in events), pattern)
        # Nobody else was touched: every worker ran exactly twice.
        self.assertEqual(sorted(e.name for e in p.starts()), sorted(list(workers) * 2))

    def test_segfault_backoff_is_shared_by_all_workers(self):
        workers = {
            "zq-crashy": '[ "$N" -le 3 ] && crash 11\nidle',
            "zq-late": '[ "$N" = 1 ] && { sleep 3000; crash 11; }\nidle',
        }
        p = self.plugin(config=self.watch(*workers), workers=workers, speed=1000)
        p.start()
        p.wait_starts(2, "zq-late", timeout=60)
        crashy = p.wait_starts(4, "zq-crashy")
        ends = {e.pid: e for e in p.events() if e.kind == "end"}
        delays = [crashy[i + 1].time - ends[crashy[i].pid].time for i in range(3)]
        late = p.starts("zq-late")
        delays.append(late[1].time - ends[late[0].pid].time)
        # At x1000 every real millisecond of process start-up is a second of
        # the clock: allow for that, well below the 600 s between the steps.
        for got, want in zip(delays, (60, 660, 1260, 7200)):
            self.assertGreaterEqual(got, want)
            self.assertLess(got, want + 300, delays)
        segv = re.findall(r"Will restart segv prog after (\d+) secs", p.stdout())
        self.assertEqual(segv, ["60", "660", "1260", "7200"])
        for s in crashy[1:] + late[1:]:
            self.assertEqual(p.argv(s.pid)[1:], ["-r", "11"])
        self.assertEqual(p.run_file().count("killed by signal(11)"), 4)

    def test_run_file_stays_under_64_kib(self):
        # A long name in a crash loop: about 250 lines before the first cut.
        name = "zq-" + "n" * 200
        p = self.plugin(config=self.watch(name), workers={name: "finish 1"}, speed=1000)
        p.start()
        p.wait_until(lambda: "earlier events dropped" in (p.run_file() or ""), 120, "a cut")
        count = len(p.starts())
        p.wait_starts(count + 30, timeout=120)
        lines = p.run_file().split("\n")
        self.assertEqual(lines[0], p.files)
        self.assertRegex(lines[1], "^" + ASCTIME + ": earlier events dropped$")
        self.assertEqual(lines[-1], "")
        line = "^" + ASCTIME + r": %s exited normally with code\(1\)$" % name
        for l in lines[2:-1]:
            self.assertRegex(l, line)
        self.assertLessEqual(len(p.run_file()), 65536)
        self.assertGreater(len(lines), 100)

    def test_cleared_run_file_gets_its_next_line_at_the_start(self):
        # People clear a log with ": > file"; the next line goes at the new
        # end, not at the descriptor's old offset after a hole of zero bytes.
        p = self.plugin(config=self.watch("zq-loop"), workers={"zq-loop": "sleep 20\nfinish 4"})
        p.start()
        p.wait_starts(3)
        with open(p.uci(p.name + ".run"), "w"):
            pass
        count = len(p.starts())
        p.wait_starts(count + 2)
        text = p.run_file()
        self.assertNotIn("\0", text)
        for line in text.split("\n")[:-1]:
            self.assertRegex(line, "^" + ASCTIME + r": zq-loop exited normally with code\(4\)$")

    def test_event_line_dated_after_2038(self):
        if os.environ.get("PLUGWATCH_TIME_T_SIZE") == "4":
            self.skipTest("this target's time_t has 32 bits: the device target is musl")
        p = self.plugin(config=self.watch("zq-late"), workers={"zq-late": first_run_then_idle("finish 3")})
        p.start(clock="@2040-03-01 10:00:00")
        p.wait_starts(2)
        self.assertRegex(p.run_file().split("\n")[1],
                         r"^[A-Z][a-z]{2} Mar  1 1\d:\d\d:\d\d 2040: zq-late exited normally with code\(3\)$")

    def test_console_without_reader_loses_messages_only(self):
        # Each start records its signal dispositions and mask with builtins
        # only (the shell blocks every signal while it forks); the first two
        # ends make the supervisor write to a console nobody reads.
        body = ('while IFS= read -r l; do case $l in Sig*) echo "$l";; esac; done '
                '</proc/$$/status >"$R/sig.$$"\n[ "$N" -le 2 ] && finish 5\nidle')
        p = self.plugin(config=self.watch("zq-talk"), workers={"zq-talk": body})
        p.start(env_extra={"PW_BROKEN_CONSOLE": "1"})
        starts = p.wait_starts(3, "zq-talk")
        self.assertIsNone(p.status(), "the supervisor lives on")
        self.assertEqual(p.run_file().count("zq-talk exited normally with code(5)"), 2)
        sigpipe = 1 << (13 - 1)
        for s in starts:
            path = os.path.join(p.rec, "sig.%d" % s.pid)
            p.wait_until(lambda: os.path.exists(path) and "SigCgt" in read(path), 10, path)
            masks = dict(l.split(":") for l in read(path).splitlines())
            for key in ("SigIgn", "SigBlk"):
                self.assertFalse(int(masks[key], 16) & sigpipe, (s, key, masks[key]))


class RestartAll(PlugwatchCase):
    def test_exit_160_restarts_every_worker_with_the_code(self):
        workers = {
            "zq-a": first_run_then_idle("finish 5"),
            "zq-b": first_run_then_idle("{ sleep 60; finish 160; }"),
            "zq-c": first_run_then_idle("crash 15"),
            # Runs under another program's name: killall by name misses it.
            "zq-d": "exec sleep 100000",
        }
        p = self.plugin(config=self.watch(*workers), workers=workers)
        # A copy left by an earlier instance, no child of this one, running
        # in the plug-in's directory: only the kill by name reaches it. A
        # process of the same name that is not the plug-in's is left alone.
        p.prepare("mkdir /tmp/old && cp \"$(command -v sleep)\" /tmp/old/zq-b && "
                  "{ (cd %s && exec /tmp/old/zq-b 100000) & echo $! >%s/leftover; } && "
                  "{ (cd / && exec /tmp/old/zq-b 100000) & echo $! >%s/stranger; }" % (p.files, p.out, p.out))
        p.start()
        for name in workers:
            p.wait_starts(3 if name in ("zq-a", "zq-c") else 2, name)

        def state_of(pid_file):
            pid = read(os.path.join(p.out, pid_file)).strip()
            return p.ns_run("cat /proc/%s/stat 2>/dev/null" % pid).stdout.split(") ")[-1][:1]
        self.assertIn(state_of("leftover"), ("", "Z"), "the earlier instance's copy still runs")
        self.assertEqual(state_of("stranger"), "S", "another program's zq-b was killed")
        a, c = p.starts("zq-a"), p.starts("zq-c")
        b = p.starts("zq-b")
        # Single restarts first: the exit sets the code, the signal does not.
        self.assertEqual(p.argv(a[1].pid)[1:], ["-r", "5"])
        self.assertEqual(p.argv(c[1].pid)[1:], ["-r", "15"])
        # Then the pass after 160: everyone with 160, at once.
        d = p.starts("zq-d")
        for s in (a[2], b[1], c[2], d[1]):
            self.assertEqual(p.argv(s.pid)[1:], ["-r", "160"], s)
        # The workers killed (by name, or by pid) are reaped as nobody's.
        out = p.stdout()
        for s in (a[1], c[1], d[0]):
            self.assertIn("No such pid(%d) for reexec\n" % s.pid, out)
        # No delay before the pass that 160 asks for: only the two single
        # restarts announced one.
        self.assertEqual(out.count("Will restart"), 2)
        self.assertIsNone(p.status())


if __name__ == "__main__":
    unittest.main()
