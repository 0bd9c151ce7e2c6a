"""Running plugwatch as the gateway would, without touching the machine: a
private mount and PID namespace (as root, or in an unprivileged user
namespace) with its own /tmp, /dev/shm and /nodra, and time accelerated by
libfaketime. Shared by the black-box test harness and plugwatch-try."""

import glob
import os
import re
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
# The namespace's first process: see the comment at its top.
INIT = os.path.join(HERE, "pwsandbox-init.sh")
FAKETIME_NAME = "libfaketimeMT.so.1"

_ns_mode = None


def namespace_mode():
    """'root' when we may unshare directly, 'user' when an unprivileged user
    namespace works, else a reason string for failing loudly."""
    global _ns_mode
    if _ns_mode is not None:
        return _ns_mode
    probe = "mount -t tmpfs probe /tmp && test -w /tmp"
    if os.geteuid() == 0:
        cmd = ["unshare", "-m", "-p", "-f", "--mount-proc", "sh", "-c", probe]
        mode = "root"
    else:
        cmd = ["unshare", "-r", "-m", "-p", "-f", "--mount-proc", "sh", "-c", probe]
        mode = "user"
    try:
        ok = subprocess.run(cmd, capture_output=True, timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    _ns_mode = mode if ok else (
        "cannot create a private mount and PID namespace (run as root, or enable "
        "unprivileged user namespaces); refusing to run against the host's /tmp/.uci/")
    return _ns_mode


def unshare_prefix():
    """The command prefix that starts a process in a namespace of its own,
    ended with it; raises RuntimeError with the reason when none can be made."""
    mode = namespace_mode()
    if mode not in ("root", "user"):
        raise RuntimeError(mode)
    prefix = ["unshare"] + (["-r"] if mode == "user" else [])
    return prefix + ["-m", "-p", "-f", "--mount-proc", "--kill-child"]


def nsenter_prefix(init_pid):
    """The command prefix that runs a command inside the namespace."""
    cmd = ["nsenter", "-t", str(init_pid), "-m", "-p"]
    if namespace_mode() == "user":
        cmd += ["-U", "--preserve-credentials"]
    return cmd


def elf_machine(path):
    """(class, byte order, machine) from an ELF header, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return None
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    return head[4], head[5], int.from_bytes(head[18:20], "little" if head[5] == 1 else "big")


def find_faketime_lib(binary):
    """The multi-threaded libfaketime (Debian's libfaketime, of any
    multiarch) that can be preloaded into binary, or None."""
    candidates = sorted(glob.glob("/usr/lib/*/faketime/" + FAKETIME_NAME)) + [
        "/usr/lib/faketime/" + FAKETIME_NAME, "/usr/local/lib/faketime/" + FAKETIME_NAME]
    want = elf_machine(binary)
    for path in candidates:
        if os.path.exists(path) and elf_machine(path) == want:
            return path
    return None


def faketime_spec(speed, start="+0"):
    """The FAKETIME value for a clock starting at start (an offset, or "@"
    and a date) and running speed times faster."""
    return "%s x%d" % (start, speed)


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def children(pid):
    """Process ids of pid's children (all threads'), as the host sees them."""
    kids = []
    for path in glob.glob("/proc/%d/task/*/children" % pid):
        try:
            kids += [int(k) for k in read(path).split()]
        except OSError:
            pass
    return kids


def inner_pid(pid):
    """pid as the innermost PID namespace it lives in numbers it."""
    m = re.search(r"^NSpid:\s+(.*)$", read("/proc/%d/status" % pid), re.M)
    return int(m.group(1).split()[-1]) if m else pid


def host_pid(init_pid, inner):
    """The host's id of the init's child that the namespace calls inner."""
    for pid in children(init_pid):
        try:
            if inner_pid(pid) == inner:
                return pid
        except OSError:
            pass
    return None


def first_child(pid, timeout=10.0):
    """Waits for pid's first child and returns its id."""
    import time
    deadline = time.time() + timeout
    while time.time() < deadline:
        kids = children(pid)
        if kids:
            return kids[0]
        time.sleep(0.005)
    raise RuntimeError("namespace did not start")
