#!/usr/bin/env python3
"""Mutation check: breaks the code in each way the mutant list names, one at a
time, and runs the tests that should notice. A mutant the tests do not notice
"survives": either a test is missing or the mutant is equivalent (no test can
see a difference), which the list must then say, with the reason.

The work happens in a copy of the tree under the build folder, so an
interrupted run never leaves a mutated file in the working tree."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EQUIVALENT = "equivalent:"


class Mutant:
    def __init__(self, number, line_no, fields):
        self.number = number
        self.line_no = line_no
        self.file, self.tests, self.text, self.replacement, self.why = fields
        self.text = unescape(self.text)
        self.replacement = unescape(self.replacement)

    @property
    def equivalent(self):
        return self.why.startswith(EQUIVALENT)

    def label(self):
        return "M%02d %s: %s" % (self.number, self.file, self.why)


def unescape(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), text)


def read_list(path):
    """The mutants of the list: one a line, five tab-separated fields (file,
    ctest pattern, text, replacement, description); # starts a comment."""
    mutants = []
    with open(path) as f:
        for line_no, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) != 5:
                sys.exit("%s:%d: want 5 tab-separated fields, found %d" % (path, line_no, len(fields)))
            mutants.append(Mutant(len(mutants) + 1, line_no, fields))
    return mutants


def run(cmd, cwd=None, quiet=True, timeout=None):
    out = subprocess.DEVNULL if quiet else None
    return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=out, timeout=timeout).returncode


# What a plain copy leaves out: the same as .gitignore.
IGNORED_TOP = ("build", "scratch", "dist", ".git")


def source_files():
    """The tree's files, relative to its top: git's tracked and untracked (not
    ignored) files in a checkout; in a tree without git (a release tarball, a
    build system's source cache), every file but build output."""
    try:
        listing = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=TOP,
                                 capture_output=True)
        if listing.returncode == 0:
            return [n for n in listing.stdout.decode().split("\0") if n]
    except OSError:
        pass
    names = []
    for root, dirs, files in os.walk(TOP):
        rel = os.path.relpath(root, TOP)
        dirs[:] = [d for d in dirs if d != "__pycache__" and not (
            rel == "." and d.startswith(IGNORED_TOP))]
        names += [os.path.normpath(os.path.join(rel, f)) for f in files if not f.endswith(".pyc")]
    return names


def copy_tree(dest):
    """The tree's source files, as they are now."""
    if os.path.isdir(dest):
        shutil.rmtree(dest)
    for name in source_files():
        if not os.path.isfile(os.path.join(TOP, name)):
            continue
        target = os.path.join(dest, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(TOP, name), target)


def build(build_dir, jobs):
    return run(["cmake", "--build", build_dir, "-j%d" % jobs]) == 0


def run_tests(build_dir, pattern, jobs, timeout):
    """0 when every test the pattern selects passes."""
    cmd = ["ctest", "-R", pattern, "-j%d" % jobs, "--stop-on-failure", "--timeout", str(timeout)]
    return run(cmd, cwd=build_dir)


def count_tests(build_dir, pattern):
    r = subprocess.run(["ctest", "-N", "-R", pattern], cwd=build_dir, capture_output=True, text=True)
    m = re.search(r"Total Tests: (\d+)", r.stdout)
    return int(m.group(1)) if m else 0


def try_mutant(m, tree, build_dir, args):
    """One of: killed, survived, inapplicable, broken."""
    path = os.path.join(tree, m.file)
    if not os.path.isfile(path):
        return "inapplicable", "no file %s" % m.file
    with open(path) as f:
        original = f.read()
    found = original.count(m.text)
    if found != 1:
        return "inapplicable", "the text stands %d times in the file, not once" % found
    if count_tests(build_dir, m.tests) == 0:
        return "inapplicable", "no test matches %r" % m.tests
    try:
        with open(path, "w") as f:
            f.write(original.replace(m.text, m.replacement))
        if not build(build_dir, args.jobs):
            return "broken", "does not build"
        rc = run_tests(build_dir, m.tests, args.jobs, args.timeout)
        return ("killed", "") if rc != 0 else ("survived", "")
    finally:
        with open(path, "w") as f:
            f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(TOP, "tests", "mutants.tsv"))
    parser.add_argument("--dir", default=os.path.join(TOP, "build-mutants"),
                        help="where the tree copy and its build go")
    parser.add_argument("--sample", type=int, default=0, metavar="N",
                        help="only every Nth mutant that is not equivalent (a fixed sample)")
    parser.add_argument("--only", default="", metavar="NUMBERS",
                        help="comma-separated mutant numbers")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("PLUGWATCH_JOBS") or os.cpu_count() or 2))
    parser.add_argument("--timeout", type=int, default=300, help="seconds per test group")
    args = parser.parse_args()

    mutants = read_list(args.list)
    chosen = [m for m in mutants if not m.equivalent]
    if args.sample > 0:
        chosen = chosen[::args.sample]
    if args.only:
        wanted = {int(n) for n in args.only.split(",")}
        chosen = [m for m in mutants if m.number in wanted]
    equivalent = [m for m in mutants if m.equivalent]

    tree = os.path.join(args.dir, "tree")
    build_dir = os.path.join(args.dir, "build")
    copy_tree(tree)
    print("== mutants: %d in the list, %d to run, %d marked equivalent" % (
        len(mutants), len(chosen), len(equivalent)), flush=True)
    # A black-box group stops at its first failing case: a mutant that breaks
    # every case would otherwise wait out each case's time limit.
    if run(["cmake", "-S", tree, "-B", build_dir, "-DPLUGWATCH_BUILD_TESTS=ON",
            "-DPLUGWATCH_UNITTEST_ARGS=-f"]) != 0 or \
            not build(build_dir, args.jobs):
        sys.exit("mutants: the unmutated tree does not build")
    pattern = "|".join(sorted({"(%s)" % m.tests for m in chosen})) or "^$"
    if run_tests(build_dir, pattern, args.jobs, args.timeout) != 0:
        sys.exit("mutants: the tests fail on the unmutated tree; nothing to measure")

    results = {}
    for m in chosen:
        start = time.time()
        verdict, detail = try_mutant(m, tree, build_dir, args)
        results.setdefault(verdict, []).append(m)
        print("%-12s %s (%s, %.0f s)%s" % (verdict, m.label(), m.tests, time.time() - start,
                                          " — " + detail if detail else ""), flush=True)
    build(build_dir, args.jobs)
    for m in equivalent:
        print("%-12s %s" % ("equivalent", m.label()))

    killed = len(results.get("killed", []))
    bad = sum(len(results.get(k, [])) for k in ("survived", "inapplicable", "broken"))
    print("mutants: %d killed, %d survived, %d inapplicable, %d broken, %d equivalent; score %d%%" % (
        killed, len(results.get("survived", [])), len(results.get("inapplicable", [])),
        len(results.get("broken", [])), len(equivalent), 100 * killed // max(1, len(chosen))))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
