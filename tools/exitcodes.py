"""The exit codes that ask the supervisor for something and the restart code
of a watchdog kill, read from the list the supervisor itself is built from
(exit_codes.def: in the source tree, or installed beside this file)."""

import os
import re

HERE = os.path.dirname(os.path.realpath(__file__))
LINE = re.compile(r'^(EXIT_CODE|RESTART_CODE)\((\w+), (\d+), "([^"]*)"\)$')


def _find():
    for path in (os.path.join(HERE, "..", "src", "supervisor", "exit_codes.def"), os.path.join(HERE, "exit_codes.def")):
        if os.path.isfile(path):
            return path
    raise ImportError("exit_codes.def is neither in the source tree nor beside %s" % HERE)


def _read():
    exits, restarts = {}, {}
    with open(_find()) as f:
        for line in f:
            m = LINE.match(line.strip())
            if m:
                (exits if m.group(1) == "EXIT_CODE" else restarts)[int(m.group(3))] = m.group(4)
    return exits, restarts


# {code: what the supervisor does} and {code: when a worker is given it}.
EXIT_CODES, RESTART_CODES = _read()
