#!/bin/bash
# First process of a private mount and PID namespace: gives it its own /tmp,
# /dev/shm and /nodra, runs the supervisor, records its output and status,
# then stays alive so that whoever started it can look at what it left.
# usage: pwsandbox-init.sh OUTDIR ARGV0 BINARY CWD [ARG...]
out=$1 argv0=$2 bin=$3 cwd=$4
shift 4
# PW_JOIN: a second supervisor entering a namespace made already (another
# plug-in on the same gateway) keeps its mounts.
if [ -z "$PW_JOIN" ]; then
    mount -t tmpfs -o "size=${PW_TMP_SIZE:-64m}" plugwatch-test-tmp /tmp || exit 97
    # libfaketime keeps its shared clock in /dev/shm under names made from
    # process ids, which repeat in every PID namespace: each test needs its own.
    mount -t tmpfs plugwatch-test-shm /dev/shm || exit 97
    if [ -d /nodra ]; then
        mount -t tmpfs plugwatch-test-nodra /nodra || exit 97
    fi
fi
if [ -f "$out/prepare.sh" ]; then
    . "$out/prepare.sh"
fi
cd "$cwd" || exit 98
(
    if [ -n "$PW_INHERIT_FD" ]; then
        exec 7<"$out/inherited"
    fi
    if [ -n "$PW_BROKEN_CONSOLE" ]; then
        # A console pipe whose reader has already gone.
        exec 1> >(:)
        wait $!
    fi
    if [ -n "$PW_SUPERVISOR_PATH" ]; then
        export PATH="$PW_SUPERVISOR_PATH"
    fi
    if [ -n "$PW_EMULATOR" ]; then
        # The guest gets its own preload; the emulator itself runs unshifted.
        # shellcheck disable=SC2086
        exec $PW_EMULATOR -0 "$argv0" -E LD_PRELOAD="$PW_PRELOAD" -E FAKETIME="$PW_FAKETIME" \
            -U FAKETIME_SHARED "$bin" "$@"
    fi
    if [ -n "$PW_PRELOAD" ]; then
        export LD_PRELOAD="$PW_PRELOAD" FAKETIME="$PW_FAKETIME"
    fi
    exec -a "$argv0" "$bin" "$@"
) >"$out/stdout" 2>"$out/stderr" </dev/null &
# Renamed into place, so that a reader never sees it half written.
echo $! >"$out/pid.tmp"
mv "$out/pid.tmp" "$out/pid"
wait $!
echo $? >"$out/status.tmp"
mv "$out/status.tmp" "$out/status"
exec sleep infinity
