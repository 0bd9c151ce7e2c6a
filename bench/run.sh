#!/bin/sh
# Benchmark: installs runit, s6 and supervisor from Debian (their services are
# not started), builds plugwatch for the host and the device, and measures all
# four side by side in a private mount and PID namespace. Prints markdown.
#   bench/run.sh            (BENCH_IDLE_SECONDS, BENCH_CRASH_SECONDS: windows)
#   BENCH_BASELINE_REV=REV bench/run.sh
#                           also the crash loops of plugwatch as it was at the
#                           git revision REV, built in build-bench-baseline/
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh --all
missing=""
for p in runit s6 supervisor; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    [ "$(id -u)" = 0 ] || { echo "as root: apt-get install$missing"; exit 1; }
    # Keep the packages from starting their own services on this machine.
    guard=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod +x /usr/sbin/policy-rc.d
        guard=1
    fi
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
    [ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d
fi
PLUGWATCH_BUILD_TESTS=OFF scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
# The device binary as it ships: the static musl build of the release.
scripts/build-musl.sh build-musl >/dev/null
faketime=/usr/lib/$(gcc -print-multiarch)/faketime/libfaketimeMT.so.1
top=$(pwd)
baseline=""
if [ -n "$BENCH_BASELINE_REV" ]; then
    rm -rf build-bench-baseline
    mkdir -p build-bench-baseline
    git archive "$BENCH_BASELINE_REV" | tar -x -C build-bench-baseline
    (cd build-bench-baseline && PLUGWATCH_BUILD_TESTS=OFF scripts/build.sh build -DCMAKE_BUILD_TYPE=Release >/dev/null)
    baseline=$top/build-bench-baseline/build/plugwatch
fi
echo "machine: $(uname -m), $(nproc) cores, kernel $(uname -r), $(date -u +%Y-%m-%d)"
exec unshare -m -p -f --mount-proc --kill-child sh -c \
    'mount -t tmpfs bench-tmp /tmp && mount -t tmpfs bench-shm /dev/shm && exec python3 "$0"/bench/bench.py "$0"/build-bench/plugwatch "$0"/build-musl/plugwatch-static "$1" "$2"' \
    "$top" "$faketime" "$baseline"
