"""plugwatch-try, the authors' workbench, over small plug-ins of shell
workers: one that keeps every rule, one whose workers each break one."""

import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

from harness import BINARY, HERE, SCRATCH

TOOL = os.path.join(HERE, "..", "..", "tools", "plugwatch-try")
# Workers run on the plug-in's clock: the supervisor's preloaded libfaketime
# is theirs too.
HEAD = "#!/bin/sh\ntrap 'exit 0' TERM\nidle() { while :; do sleep 30 & wait $!; done; }\n"
ALIVE = 'A=""; p=""; for a; do [ "$p" = -A ] && A=$a; p=$a; done\n'
KEEPER = ALIVE + 'while :; do : >"$A"; sleep 40 & wait $!; done\n'
GOOD = {"good-keeper": (True, KEEPER), "good-plain": (False, "idle\n")}
BAD = {
    # Ends after 100 s of its first run: breaks "stays up".
    "dies": (False, 'case "$*" in *-r*) idle ;; esac\nsleep 100\nexit 3\n'),
    # Keeps its alive file for 130 s, then hangs: killed by the watchdog.
    "quits": (True, ALIVE + 'for i in 1 2 3 4 5 6 7 8 9 10 11 12 13; do : >"$A"; sleep 10; done\nidle\n'),
    # Does not leave on SIGTERM.
    "deaf": (False, "trap '' TERM\nidle\n"),
    # Cannot cope with a restart of all workers.
    "picky": (False, 'case " $* " in *" -r 160 "*) exit 1 ;; esac\nidle\n'),
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
        r = self.run_tool(plugin, "--check", "--seconds", "3", "--timeline", svg, "--json", js)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("FAIL", r.stdout)
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
        self.assertEqual([w["starts"] for w in summary["workers"]], [1, 1])
        self.assertEqual(os.listdir(os.path.join(self.root, "cache", "plugwatch-try")), [])

    def test_each_broken_rule_is_caught_and_named(self):
        plugin = make_plugin(self.root, "pwbad", BAD)
        r = self.run_tool(plugin, "--check", "--seconds", "4")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        fails = {(l.split()[1], l.split(": ")[1]) for l in r.stdout.splitlines() if l.startswith("FAIL")}
        self.assertEqual(fails, {("3", "dies"), ("3", "quits"), ("4", "deaf"), ("5", "picky")}, r.stdout)
        self.assertIn("killed by the watchdog", r.stdout)
        self.assertIn("ended when started with -r 160", r.stdout)

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
