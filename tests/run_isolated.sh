#!/bin/sh
# Runs a command in a mount and PID namespace of its own with a private /tmp,
# so that nothing it does reaches the host's /tmp/.uci/ or its processes.
inner='mount -t tmpfs plugwatch-isolated /tmp && exec "$@"'
if [ "$(id -u)" = 0 ]; then
    exec unshare -m -p -f --mount-proc --kill-child sh -c "$inner" sh "$@"
fi
if unshare -r -m sh -c 'mount -t tmpfs probe /tmp' 2>/dev/null; then
    exec unshare -r -m -p -f --mount-proc --kill-child sh -c "$inner" sh "$@"
fi
echo "run_isolated: cannot create a private mount namespace (run as root, or enable" \
     "unprivileged user namespaces); refusing to run against the host's /tmp" >&2
exit 1
