"""Plug-ins side by side: two supervisors in one namespace, sharing
/tmp/.uci/, each with a worker named agent. One plug-in's kills, installs and
alive files never reach the other's."""

import json
import os
import unittest

from harness import EMULATOR, PlugwatchCase

STATUS = os.environ.get("PLUGWATCH_STATUS_BIN", "")
IDLE = "idle"

STALE = "/tmp/stale/agent"


def alive(p, pid):
    """Whether pid runs in p's namespace (a zombie counts as ended)."""
    state = p.ns_run("cat /proc/%d/stat 2>/dev/null" % pid).stdout.split(") ")[-1][:1]
    return state not in ("", "Z")


def status_json(p, name):
    """(exit status, the instance's object) of plugwatch-status --json."""
    r = p.ns_run("%s %s --json %s" % (EMULATOR, STATUS, name))
    return r.returncode, json.loads(r.stdout)["instances"][0]


def environment(p, pid):
    text = p.ns_run("tr '\\0' '\\n' </proc/%d/environ" % pid).stdout
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


class SideBySide(PlugwatchCase):
    def test_kills_and_alive_files_stay_with_their_plugin(self):
        # B's agent keeps its alive file; A's agent hangs (never shows one),
        # and A's boss asks for a restart of all once.
        b = self.plugin(name="pwb", config=self.watch(("agent", "true")), workers={"agent": "keep_alive 40"})
        a = self.plugin(name="pwa", root=b.root, config=self.watch(("agent", "true"), "boss"),
                        workers={"agent": IDLE,
                                 "boss": '[ "$N" = 1 ] && { sleep 30; finish 160; }\n' + IDLE})
        b.start()
        b_agent = b.wait_starts(1, "agent")[0]
        # An agent an earlier A left behind, and one that belongs to no
        # plug-in: the same program, without arguments, told apart only by
        # the directory it runs in. It waits on a FIFO it holds open itself.
        run = "setsid %s <>/tmp/stale/fifo >/dev/null 2>&1 & echo $!" % STALE
        r = b.ns_run("mkdir -p /tmp/stale && cp \"$(command -v cat)\" %s && mkfifo /tmp/stale/fifo && "
                     "(cd %s || exit; %s) && (cd /; %s)" % (STALE, a.files, run, run))
        stale, stranger = (int(x) for x in r.stdout.split())
        a.start(beside=b)
        # A's start-up, its restart of all (160) and its watchdog kill (199).
        agent = a.wait_starts(3, "agent", timeout=60)
        self.assertEqual([a.argv(s.pid)[1:3] for s in agent], [["-A", "/tmp/.uci//pwa.agent.alive"],
                                                              ["-r", "160"], ["-r", "199"]])
        self.assertEqual(a.run_file().count("agent is not alive, and we will kill it."), 1)
        self.assertFalse(alive(b, stale), "the earlier A's agent survived A's start-up")
        # B's agent was never touched, and never lost its alive file to A.
        self.assertEqual(len(b.starts("agent")), 1)
        self.assertTrue(alive(b, b_agent.pid))
        self.assertTrue(alive(b, stranger))
        self.assertEqual(b.argv(b_agent.pid), ["agent", "-A", "/tmp/.uci//pwb.agent.alive"])
        self.assertNotIn("killed", b.run_file())
        for p, other in ((a, "pwb"), (b, "pwa")):
            self.assertEqual(p.run_file().split("\n")[1],
                             "alive file of agent is /tmp/.uci//%s.agent.alive: plug-in %s watches it too"
                             % (p.name, other))
        # A package for B at the name both share: plugwatch-status tells A's
        # integrator that A would refuse it, and whose it looks like.
        package = b.make_package({"agent": IDLE}, path=os.path.join(b.root, "pkg-b.tgz"))
        b.ns_run("cp %s /tmp/.uci/ttupgrade.tgz" % package)
        code, inst = status_json(a, "pwa")
        self.assertEqual(inst["package_path"], "/tmp/.uci/pwa.ttupgrade.tgz")
        self.assertEqual((inst["package"]["path"], inst["package"]["refused_as"], inst["package"]["fits"]),
                         ("/tmp/.uci//ttupgrade.tgz", "not for this plug-in (lacks boss)", "pwb"))
        code, inst = status_json(b, "pwb")
        self.assertEqual((inst["package"]["refused_as"], inst["package"]["fits"]), (None, None))
        # Each plug-in's workers learn its own package path.
        self.assertEqual(environment(a, agent[2].pid).get("PLUGWATCH_PACKAGE"), "/tmp/.uci/pwa.ttupgrade.tgz")
        self.assertEqual(environment(b, b_agent.pid).get("PLUGWATCH_PACKAGE"), "/tmp/.uci/pwb.ttupgrade.tgz")

    def test_another_plugins_package_at_the_shared_name_is_left_alone(self):
        p = self.plugin(name="pwa", config=self.watch("agent", "helper"))
        theirs = p.make_package({"poller": IDLE, "agent": IDLE}, path=os.path.join(p.root, "theirs.tgz"))
        ours = p.make_package({"agent": IDLE, "helper": IDLE}, path=os.path.join(p.root, "ours.tgz"))
        p.add_worker("helper", IDLE)
        # The first start finds only the other plug-in's package; the second
        # stages its own at the path the supervisor gave it.
        p.add_worker("agent", '[ "$N" = 1 ] && { sleep 20; finish 130; }\n'
                              '[ "$N" = 2 ] && { sleep 20; cp %s "$PLUGWATCH_PACKAGE"; finish 130; }\n%s'
                     % (ours, IDLE))
        p.prepare("mkdir -p /tmp/.uci && cp %s /tmp/.uci/ttupgrade.tgz" % theirs)
        p.start()
        agent = p.wait_starts(2, "agent")
        self.assertEqual(p.argv(agent[1].pid), ["agent", "-r", "130"])
        self.assertRegex(p.run_file(), r"upgrade package /tmp/\.uci//ttupgrade\.tgz refused: "
                                       r"not for this plug-in \(carries poller\)\n")
        self.assertIsNone(p.boot_record())
        self.assertEqual(os.listdir(p.data), [])
        agent = p.wait_starts(3, "agent")
        self.assertEqual(p.argv(agent[2].pid)[:3], ["../data//agent", "-r", "130"])
        self.assertEqual(p.boot_record(), '{"version":"24.01.11.17","plugindata":1}')
        self.assertEqual(sorted(os.listdir(p.data)), [".bootchk", "agent", "helper"])
        self.assertFalse(os.path.exists(p.uci("pwa.ttupgrade.tgz")))
        with open(p.uci("ttupgrade.tgz"), "rb") as left, open(theirs, "rb") as original:
            self.assertEqual(left.read(), original.read(), "the other plug-in's package was touched")


if __name__ == "__main__":
    unittest.main()
