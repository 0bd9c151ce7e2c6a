"""plugwatch-try, the authors' workbench, over small plug-ins of shell
workers: one that keeps every rule, one whose workers each break one."""

import hashlib
import importlib.machinery
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import types
import unittest
import xml.etree.ElementTree as ET

from harness import BINARY, HERE, SCRATCH

TOOL = os.path.join(HERE, "..", "..", "tools", "plugwatch-try")
# Workers run on the plug-in's clock: the supervisor's preloaded libfaketime
# is theirs too.
HEAD = "#!/bin/sh\ntrap 'exit 0' TERM\nidle() { while :; do sleep 30 & wait $!; done; }\n"
ALIVE = 'A=""; p=""; for a; do [ "$p" = -A ] && A=$a; p=$a; done\n'
KEEPER = ALIVE + 'while :; do : >"$A"; sleep 40 & wait $!; done\n'
GOOD = {"good-keeper": (True, KEEPER), "good-plain": (False, "idle\n"),
        # Runs as "sleep" all along, and nothing kills it.
        "good-sleeper": (False, "exec sleep 100000\n")}
BAD = {
    # Ends after 100 s of its first run: breaks "stays up".
    "dies": (False, 'case "$*" in *-r*) idle ;; esac\nsleep 100\nexit 3\n'),
    # Keeps its alive file for 130 s, then hangs: killed by the watchdog.
    "quits": (True, ALIVE + 'for i in 1 2 3 4 5 6 7 8 9 10 11 12 13; do : >"$A"; sleep 10; done\nidle\n'),
    # Does not leave on SIGTERM.
    "deaf": (False, "trap '' TERM\nidle\n"),
    # Cannot cope with a restart of all workers; waits for a child in the
    # foreground, so SIGTERM ends the shell, not the child.
    "picky": (False, 'case " $* " in *" -r 160 "*) exit 1 ;; esac\ntrap - TERM\nsleep 100000\n'),
}


# The mistakes authors really make, with a deliberate install.
PKG_STAGE = 'case "$*" in *-r*) idle ;; esac\nsleep 50\ncp "$PWTRY_PKG" "$PLUGWATCH_PACKAGE"\nexit 130\n'
MISTAKES = {
    "fast": (False, "exit 3\n"),
    # Daemonizes: a loop left behind at every start.
    "daemon": (False, "( while :; do sleep 30; done ) &\nexit 0\n"),
    # Runs as "sleep": no kill by name reaches it.
    "renamed": (False, "exec sleep 100000\n"),
    # Leaves a package holding only itself: the others cannot start from data/.
    "boss": (False, PKG_STAGE),
}


# Faults only a whole run shows, and shutdowns judged on the plug-in clock.
LONG = {
    # Keeps its alive file, and exits 1 some 480 s after every start.
    "periodic": (True, ALIVE + 'for i in 1 2 3 4 5 6 7 8 9 10 11 12; do : >"$A"; sleep 40 & wait $!; done\nexit 1\n'),
    # Writes its alive file once.
    "once": (True, ALIVE + ': >"$A"\nidle\n'),
    # Takes 7 s of the plug-in clock to leave.
    "slowterm": (False, "trap 'sleep 7; exit 0' TERM\nidle\n"),
    # Works for a while on real CPU before it leaves.
    "cputerm": (False, "trap 'i=0; while [ $i -lt 400000 ]; do i=$((i + 1)); done; exit 0' TERM\nidle\n"),
}
# A restart-all storm, a name in two slots, an install with no package.
STORM = {
    # Storms from the restart that nopkg's install asks for on.
    "stormy": (False, 'case "$*" in *-r*) sleep 2; exit 160 ;; esac\nidle\n'),
    "victim": (False, "idle\n"),
    "nopkg": (False, '[ -z "$*" ] && exit 131\nidle\n'),
}


def make_plugin(root, name, workers):
    files = os.path.join(root, name, "files")
    os.makedirs(files)
    entries = ", ".join('{"base": "%s"%s}' % (w, ', "excheck": true' if keeps else "")
                        for w, (keeps, _) in workers.items())
    with open(os.path.join(files, "config"), "w") as f:
        f.write('{"__watch": {"processes": [%s]}}' % entries)
    for w, (_, body) in workers.items():
        with open(os.path.join(files, w), "w") as f:
            f.write(HEAD + body)
        os.chmod(os.path.join(files, w), 0o755)
    return os.path.join(root, name)


def tree_digest(path):
    h = hashlib.sha256()
    for d, _, names in sorted(os.walk(path)):
        for n in sorted(names):
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                h.update(p.encode() + f.read() + oct(os.stat(p).st_mode).encode())
    return h.hexdigest()


class Workbench(unittest.TestCase):
    def setUp(self):
        os.makedirs(SCRATCH, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix="try-", dir=SCRATCH)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_tool(self, plugin, *args):
        env = dict(os.environ, XDG_CACHE_HOME=os.path.join(self.root, "cache"))
        return subprocess.run([TOOL, plugin, "--supervisor", BINARY, "--speed", "200"] + list(args),
                              capture_output=True, text=True, timeout=120, env=env)

    def test_good_plugin_passes_every_check_and_draws_its_timeline(self):
        plugin = make_plugin(self.root, "pwgood", GOOD)
        before = tree_digest(plugin)
        svg, js = os.path.join(self.root, "t.svg"), os.path.join(self.root, "t.json")
        r = self.run_tool(plugin, "--check", "--seconds", "3", "--timeline", svg, "--json", js, "--status")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("result: 20 PASS, 0 WARN, 0 FAIL, 0 NOT RUN", r.stdout)
        # The status tool asked inside the run, on the plug-in clock.
        self.assertRegex(r.stdout, r"\npwgood: run \(pid \d+\) since \+0 s\n  good-keeper +up +pid \d+ since \+\d")
        self.assertNotRegex(r.stdout, r"(?m)^FAIL")
        for check in range(1, 6):
            self.assertRegex(r.stdout, r"PASS  %d .*good-" % check)
        self.assertRegex(r.stdout, r"\] start +good-keeper pid \d+ -A /tmp/\.uci//good-keeper\.alive")
        self.assertEqual(tree_digest(plugin), before, "the author's tree is never changed")
        rows = ET.parse(svg).getroot().findall("{http://www.w3.org/2000/svg}g[@class='worker']")
        self.assertEqual(sorted(g.get("data-name") for g in rows), sorted(GOOD))
        for g in rows:
            self.assertEqual(g.find("{http://www.w3.org/2000/svg}text").text, g.get("data-name"))
        with open(js) as f:
            summary = json.load(f)
        self.assertEqual([w["starts"] for w in summary["workers"]], [1, 1, 1])
        self.assertEqual([w["state"] for w in summary["status"]["instances"][0]["workers"]], ["up"] * 3)
        self.assertEqual([w["runs_as"] for w in summary["workers"]], [[], [], ["sleep"]])
        self.assertIn("runs as sleep, not its name: killall good-sleeper finds nothing", r.stdout)
        self.assertEqual(os.listdir(os.path.join(self.root, "cache", "plugwatch-try")), [])

    def test_each_broken_rule_is_caught_and_named(self):
        plugin = make_plugin(self.root, "pwbad", BAD)
        r = self.run_tool(plugin, "--check", "--seconds", "4")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        fails = {(l.split()[1], l.split(": ")[1]) for l in r.stdout.splitlines() if l.startswith("FAIL")}
        # A worker deaf to SIGTERM, and a foreground child, outlive the run.
        self.assertEqual(fails, {("3", "dies"), ("3", "quits"), ("4", "deaf"), ("5", "picky"), ("6", "deaf"),
                                 ("6", "picky")}, r.stdout)
        self.assertRegex(r.stdout, r"FAIL  6 .*: picky: left 1 process behind .*: \d+ sleep 100000")
        self.assertIn("killed by the watchdog", r.stdout)
        self.assertRegex(r.stdout, r"FAIL  5 .*: picky: -r 160 from files/: pid \d+ ended within 132 s: exit 1")

    def test_counts_requests_and_the_mistakes_authors_make(self):
        plugin = make_plugin(self.root, "pwmix", MISTAKES)
        staging = os.path.join(self.root, "pkg")
        os.makedirs(staging)
        shutil.copy(os.path.join(plugin, "files", "boss"), staging)
        pkg = os.path.join(self.root, "pkg.tgz")
        subprocess.run(["tar", "czf", pkg, "--owner=0", "--group=0", "-C", staging, "boss"], check=True)
        with open(os.path.join(plugin, "files", "renamed"), "w") as f:
            # Passes through env and sh first, and stays sh for 20 s: only
            # the name it ends up with counts.
            f.write("#!/usr/bin/env sh\nsleep 20\nexec sleep 100000\n")
        js = os.path.join(self.root, "t.json")
        os.environ["PWTRY_PKG"] = pkg
        try:
            r = self.run_tool(plugin, "--check", "--seconds", "4", "--json", js)
        finally:
            del os.environ["PWTRY_PKG"]
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertIn("renamed: started through /usr/bin/env sh, it runs as sh", r.stdout)
        with open(js) as f:
            summary = json.load(f)
        workers = {w["name"]: w for w in summary["workers"]}
        # Every start and end counted, the ends agreeing with the supervisor's
        # own count; repeated live lines folded.
        fast = workers["fast"]
        told = fast["supervisor_ends"]["exit 3"]
        self.assertGreater(told, 5)
        # The supervisor may be stopped between a reap and its state file.
        self.assertIn(fast["ends"].get("exit 3", 0) - told, (0, 1))
        self.assertEqual(r.stdout.count("fast exited normally with code(3)"), 5)
        self.assertRegex(r.stdout, r"\n\.\.\. \d+ more lines like: run file  .*: fast exited normally with code\(3\)")
        self.assertEqual(sum(fast["ends"].values()), fast["starts"] - sum(1 for x in fast["runs"] if x["end"] is None))
        self.assertTrue(all(x["pid"] > 0 for w in workers.values() for x in w["runs"]))
        self.assertEqual(workers["renamed"]["runs_as"], ["sleep"])
        self.assertIn("runs as sleep, not its name", r.stdout)
        # The install followed to its result; the request is no failure.
        self.assertRegex(r.stdout, r"install: exit 130 of boss at \d+ s: unpacked into data/ and booted from there;.*"
                                   r"fast could not start from data/ \(No such file or directory\).*fell back to files/")
        self.assertRegex(r.stdout, r"PASS  3 .*: boss: 1 request, no failure: exit 130 x1 \(unpack the package")
        self.assertRegex(r.stdout, r"FAIL  3 .*: fast: \d+ ends that were no request \(exit 3 x\d+, exit 129 x1\)")
        self.assertRegex(r.stdout, r"FAIL  6 .*: daemon: left \d+ process")
        self.assertNotRegex(r.stdout, r"FAIL  6 .*: (fast|boss|renamed)")

    def test_every_end_of_the_run_and_shutdowns_on_the_plug_in_clock(self):
        plugin = make_plugin(self.root, "pwlong", LONG)
        js = os.path.join(self.root, "t.json")
        r = self.run_tool(plugin, "--check", "--seconds", "4", "--quiet", "--json", js, "--daemon-arg", "x")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        out = r.stdout
        # Only verdicts: no live line, no PASS.
        self.assertNotRegex(out, r"(?m)^(\[|PASS)")
        self.assertRegex(out, r"FAIL  3 .*: periodic: 1 end that was no request \(exit 1 x1\); the first at \d+ s, "
                              r"after [45]\d\d s up")
        self.assertRegex(out, r"FAIL  3 .*: once: .*killed by the watchdog for its alive file")
        self.assertRegex(out, r"FAIL  4 .*: cputerm: ended \d+\.\d s after SIGTERM, more than 5 s; it used "
                              r"\d\.\d\d s of real CPU after SIGTERM, which x200 stretches")
        self.assertRegex(out, r"result: \d+ PASS, 0 WARN, \d+ FAIL, 0 NOT RUN")
        with open(js) as f:
            summary = json.load(f)
        # 7 s is 35 ms of real time at x200: failed, or passed naming the
        # speed that judges it, never passed as quick.
        slow = [c for c in summary["checks"] if c["check"] == 4 and c["worker"] == "slowterm"][0]
        self.assertRegex(slow["seen"], r"more than 5 s|--speed 100 judges it to the second", slow)
        self.assertEqual(slow["pass"], "judges it" in slow["seen"], slow)
        workers = {w["name"]: w for w in summary["workers"]}
        self.assertEqual(workers["periodic"]["runs"][0]["options"][:1], ["-d"])
        self.assertGreater(workers["cputerm"]["peak_kib"], 0)
        self.assertGreater(summary["plugin_seconds"], 4 * 120 + 30)

    def test_a_storm_a_name_twice_a_fifth_entry_and_an_install_with_no_package(self):
        plugin = make_plugin(self.root, "pwstorm", STORM)
        with open(os.path.join(plugin, "files", "config"), "wb") as f:
            f.write(b'\xef\xbb\xbf{"__watch": {"processes": [{"base": "stormy"}, {"base": "victim"}, '
                    b'{"base": "victim"}, {"base": "nopkg"}, {"base": "uplink"}]}}')
        js = os.path.join(self.root, "t.json")
        r = self.run_tool(plugin, "--check", "--seconds", "3", "--json", js)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        out = r.stdout
        self.assertRegex(out, r"WARN  1 .*: victim: named by entries 2 and 3")
        self.assertRegex(out, r"FAIL  1 .*: uplink: entry 5: never started on a gateway")
        self.assertRegex(out, r"FAIL  3 .*: stormy: a storm of requests: \d+ in \d+ s \(exit 160 x\d+")
        self.assertRegex(out, r"restart-all passes: .*160 \(by stormy\) x\d+ from \d+ to \d+ s")
        self.assertRegex(out, r"install: exit 131 of nopkg at \d+ s: no package at the plug-in's package path")
        self.assertIn("packages installed: 0", out)
        # An exit 160 is told as one, not as a signal.
        self.assertRegex(out, r"FAIL  5 .*: stormy: -r 11 from files/: pid \d+ ended within 132 s: exit 160")
        with open(js) as f:
            summary = json.load(f)
        slots = [w for w in summary["workers"] if w["name"] == "victim"]
        self.assertEqual([w["slot"] for w in slots], [1, 2])
        self.assertTrue(all(w["starts"] >= 2 for w in slots), slots)
        self.assertRegex(out, r"victim \[slot 3\] +\d+ ")
        self.assertEqual(summary["installs"][0]["outcome"], "no_package")

    def test_a_program_the_kernel_cannot_start_and_the_supervisor_giving_up(self):
        plugin = make_plugin(self.root, "pwcrlf", {"crlf": (False, "idle\n")})
        path = os.path.join(plugin, "files", "crlf")
        with open(path, "rb") as f:
            text = f.read()
        with open(path, "wb") as f:
            f.write(text.replace(b"\n", b"\r\n"))
        r = self.run_tool(plugin, "--check", "--seconds", "30")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"FAIL  2 .*: crlf: files/crlf: its #! line ends in \\r \(CRLF line ends\)")
        self.assertIn("the supervisor ended at", r.stdout)
        self.assertIn("failed for normal boot, exit", r.stdout)
        self.assertIn("restart-all passes: none", r.stdout)
        self.assertRegex(r.stdout, r"failed boot: exit 129 of crlf at \d+ s: there was no record to delete: "
                                   r"the supervisor gave up")
        for check in (3, 4, 5):
            self.assertRegex(r.stdout, r"NOT RUN  %d .*: crlf: not run: the supervisor ended" % check)
        self.assertNotIn("... 5 of 30 s", r.stdout, "the run stops when the supervisor ends")
        # Where nothing could be written afterwards, nothing starts.
        r = self.run_tool(plugin, "--json", os.path.join(self.root, "missing", "t.json"))
        self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
        self.assertIn("does not exist", r.stderr)

    def test_every_restart_code_is_really_tried(self):
        workers = {
            # Knows only -A and -d, as an argparse worker would.
            "strict": (False, 'case "$1" in -r) echo "usage: strict [-A FILE] [-d]" >&2; '
                              'echo "strict: error: unrecognized arguments: $*" >&2; exit 2 ;; esac\nidle\n'),
            # Gives up a minute after any restart.
            "late": (True, ALIVE + 'case "$*" in *-r*) : >"$A"; sleep 60; exit 4 ;; esac\n'
                           'while :; do : >"$A"; sleep 40 & wait $!; done\n'),
        }
        plugin = make_plugin(self.root, "pwcodes", workers)
        r = self.run_tool(plugin, "--check", "--seconds", "3")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        for code in (11, 129, 130, 131, 132, 160, 199):
            self.assertRegex(r.stdout, r"FAIL  5 .*: strict: -r %d from files/: pid \d+ ended within 132 s: exit 2; "
                                       r"its output: usage: strict .*unrecognized arguments: -r %d" % (code, code))
            self.assertRegex(r.stdout, r"FAIL  5 .*: late: -r %d from files/: pid \d+ ended within 132 s: exit 4"
                             % code)
        self.assertNotRegex(r.stdout, r"(PASS|NOT RUN)  5 ")

    def test_an_end_is_seen_when_it_happens(self):
        # crashy's segfault makes the reaping loop sleep 60 s; quick exits at
        # 20 s meanwhile, and is collected only when that sleep is over.
        workers = {"crashy": (False, 'case "$*" in *-r*) idle ;; esac\nkill -SEGV $$\n'),
                   "quick": (False, 'case "$*" in *-r*) idle ;; esac\nsleep 20\nexit 3\n')}
        plugin = make_plugin(self.root, "pwwait", workers)
        svg, js = os.path.join(self.root, "t.svg"), os.path.join(self.root, "t.json")
        r = self.run_tool(plugin, "--seconds", "2", "--json", js, "--timeline", svg)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(js) as f:
            quick = [w for w in json.load(f)["workers"] if w["name"] == "quick"][0]["runs"][0]
        self.assertLess(abs(quick["end"] - quick["start"] - 20), 8, quick)
        self.assertLess(abs(quick["waited"] - 40), 10, quick)
        self.assertRegex(r.stdout, r"ended at \d+ s but was collected only at \d+ s, \d+ s later: the reaping "
                                   r"loop was sleeping out another worker's delay")
        self.assertEqual(len(ET.parse(svg).getroot().findall(".//{http://www.w3.org/2000/svg}rect[@class='zombie']")), 1)

    def test_a_state_file_that_stopped_changing_is_stale(self):
        # /tmp filled, and the state file's spare moved away with its page:
        # each write then needs a new page, so the writes fail while quick
        # keeps being restarted.
        workers = {"filler": (False, "head -c 80000000 /dev/zero >/tmp/fill 2>/dev/null\n"
                                     "mv /tmp/.uci/pwfull.state.spare /tmp/.uci/moved 2>/dev/null\nidle\n"),
                   "quick": (False, "sleep 5\nexit 3\n")}
        plugin = make_plugin(self.root, "pwfull", workers)
        r = self.run_tool(plugin, "--seconds", "2", "--status")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertRegex(r.stdout, r"STALE: the state file was written last at \+[\d.]+ s, and workers started "
                                   r"since: its writes fail")

    def test_staleness_is_judged_on_the_plug_in_clock(self):
        """The first pass's write, stamped in whole seconds on the plug-in
        clock, is not taken for an old one, whatever clock plugwatch-status
        carried its stamp over to; starts long after it are."""
        sys.path.insert(0, os.path.dirname(TOOL))
        import trystatus

        class Run:
            t0, speed, facts = 1000.6, 200, None
            runs = {"w": [{"pid": 9, "t": 0.2}, {"pid": 10, "t": 0.4}]}

            def clock(self, t):
                return t - self.t0

            def read_state(self):
                self.facts = types.SimpleNamespace(written=1001)

        for last_start, stale in ((0.4, False), (30.0, True)):
            run = Run()
            run.runs["w"][-1]["t"] = last_start
            status = {"instances": [{"running": True, "workers": [], "state_file": {"written": 998}}]}
            inst = trystatus.on_plugin_clock(status, run)["instances"][0]
            self.assertEqual((inst["state_stale"], inst["state_written_s"]), (stale, 0.4))

    def test_a_worker_that_floods_its_output(self):
        # Writes as fast as it can, lines of a numbered count.
        workers = {"noisy": (False, 'i=0; while :; do i=$((i + 1)); echo "line $i of noise"; done\n'),
                   "calm": (False, 'echo "calm started"\nidle\n'),
                   # 64 KiB into data/ every 10 s of the plug-in clock.
                   "filler": (False, 'while :; do head -c 65536 /dev/zero >>../data/fill; sleep 10 & wait $!; '
                                     'done\n')}
        plugin = make_plugin(self.root, "pwflood", workers)
        js = os.path.join(self.root, "t.json")
        r = self.run_tool(plugin, "--seconds", "4", "--json", js, "--check")
        self.assertEqual(r.returncode, 1, r.stdout[-3000:] + r.stderr)
        self.assertRegex(r.stdout, r"FAIL  7 .*: noisy: wrote \d+ lines .* a flood \(newest: line \d+ of noise\)")
        self.assertRegex(r.stdout, r"PASS  7 .*: calm: wrote 1 line ")
        self.assertRegex(r.stdout, r"FAIL  7 .*: data/: data/ grew by \d+ KiB in \d+ s of the plug-in clock "
                                   r"\(\d+ KiB an hour\): more than 4 MiB an hour wears a gateway's flash")
        self.assertRegex(r.stdout, r"output    noisy: \.\.\. \d+ lines not shown")
        self.assertIn("output    calm: calm started", r.stdout)
        # The run ended on time, printed little, and kept nothing on disk.
        with open(js) as f:
            summary = json.load(f)
        self.assertLess(summary["supervisor_end"]["t"], (4 + 2) * 200, summary["supervisor_end"])
        noisy = [w for w in summary["workers"] if w["name"] == "noisy"][0]["output"]
        self.assertGreater(noisy["lines"], 10000)
        self.assertLess(len(r.stdout), 2 * 1024 * 1024)
        self.assertEqual(os.listdir(os.path.join(self.root, "cache", "plugwatch-try")), [])

    def test_config_slips_are_named(self):
        plugin = make_plugin(self.root, "pwslip", GOOD)
        config = os.path.join(plugin, "files", "config")
        with open(config, "w") as f:
            f.write('{"__watch": {"processes": [{"base": "good-keeper", "excheck": "true"}, {"base": "good-plain"}]}}')
        r = self.run_tool(plugin, "--seconds", "1")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn('good-keeper: "excheck" is "true", not the literal true: the supervisor gives it no alive '
                      'file (no -A)', r.stdout)
        with open(config, "w") as f:
            f.write('{"__wacth": {"processes": [{"base": "good-plain"}]}}')
        r = self.run_tool(plugin, "--seconds", "1")
        self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
        self.assertIn('files/config has no "__watch" object (keys found: "__wacth"), so it has no usable worker '
                      'list: the supervisor starts its default worker quorin-dpi-inner, and '
                      'files/quorin-dpi-inner is missing', r.stderr)

    def test_ctrl_c_leaves_the_checks_not_reached_not_run(self):
        plugin = make_plugin(self.root, "pwint", GOOD)
        env = dict(os.environ, XDG_CACHE_HOME=os.path.join(self.root, "cache"))
        p = subprocess.Popen([TOOL, plugin, "--supervisor", BINARY, "--speed", "200", "--check", "--seconds", "30"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        cache = os.path.join(self.root, "cache", "plugwatch-try")
        deadline = time.time() + 20
        while not (os.path.isdir(cache) and os.listdir(cache)) and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(1)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 130, out + err)
        for check in (3, 4, 5, 6, 7):
            self.assertRegex(out, r"NOT RUN  %d .*: good-plain: not run: stopped by Ctrl-C" % check)
        self.assertRegex(out, r"PASS  2 ")

    def test_config_is_read_as_the_supervisor_reads_it(self):
        """One table of configurations through the workbench's reading and
        the supervisor's own (plugwatch-status says what the supervisor
        would refuse): both take or refuse each alike."""
        loader = importlib.machinery.SourceFileLoader("plugwatch_try", TOOL)
        tool = types.ModuleType(loader.name)
        tool.__file__ = TOOL
        loader.exec_module(tool)
        status = os.environ.get("PLUGWATCH_STATUS_BIN")
        if not status:
            self.skipTest("PLUGWATCH_STATUS_BIN is not set")
        w = '{"__watch": {"processes": [%s]}}'
        table = {
            "plain": w % '{"base": "a"}',
            "byte-order mark": "\ufeff" + w % '{"base": "a"}',
            "text after the value": w % '{"base": "a"}' + " trailing words",
            "cut by a zero byte": w % '{"base": "a"}' + "\0{",
            "zero byte inside": '{"__watch": \0 {}}',
            "no base": w % '{"name": "a"}',
            "base not a text": w % '{"base": 7}',
            "fifth entry without base": w % ", ".join(['{"base": "a"}'] * 4 + ['{"name": "x"}']),
            "members as entries": '{"__watch": {"processes": {"x": {"base": "a"}}}}',
            "not JSON": '{"__watch": ',
            "no worker list": '{"other": 1}',
            "capital keys": '{"__WATCH": {"Processes": [{"BASE": "a"}]}}',
        }
        for label, text in table.items():
            with self.subTest(label):
                files = os.path.join(self.root, "cfg", label.replace(" ", "-"), "files")
                os.makedirs(files)
                with open(os.path.join(files, "config"), "w") as f:
                    f.write(text)
                try:
                    tool.read_watch(text)
                    workbench = False
                except tool.Refused:
                    workbench = True
                r = subprocess.run([status, os.path.join(files, "pwtable-" + str(abs(hash(label))))],
                                   capture_output=True, text=True, timeout=30)
                supervisor = " refused: " in r.stderr
                self.assertEqual(workbench, supervisor, r.stderr)

    def test_what_cannot_run_is_refused_before_anything_starts(self):
        cases = {
            "no config": lambda files: os.remove(os.path.join(files, "config")),
            "config refused": lambda files: open(os.path.join(files, "config"), "w").write(
                '{"__watch": {"processes": [{"name": "good-plain"}]}}'),
            "program missing": lambda files: os.remove(os.path.join(files, "good-plain")),
            "program not executable": lambda files: os.chmod(os.path.join(files, "good-plain"), 0o644),
        }
        for label, spoil in cases.items():
            with self.subTest(label):
                plugin = make_plugin(os.path.join(self.root, label.replace(" ", "-")), "pwx", GOOD)
                spoil(os.path.join(plugin, "files"))
                r = self.run_tool(plugin)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertRegex(r.stderr, r"^plugwatch-try: .*(files/config|good-plain)")
                self.assertNotIn("== pwx", r.stdout)


if __name__ == "__main__":
    unittest.main()
