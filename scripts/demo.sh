#!/bin/sh
# Installs what is missing, builds, and runs plugwatch over the example
# plug-in in examples/pwdemo for a short while, with time running 50 times
# faster (libfaketime), showing the console and the run file's event lines.
set -e
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh
PLUGWATCH_BUILD_TESTS=OFF scripts/build.sh build-demo >/dev/null

seconds=${DEMO_SECONDS:-14}
speed=${DEMO_SPEED:-50}
demo=$top/build-demo/run
rm -rf "$demo"
mkdir -p "$demo"
cp -a examples/pwdemo "$demo/"
cp build-demo/plugwatch "$demo/pwdemo/files/pwdemo"
cp build-demo/examples/pwdemo/pwdemo-heart build-demo/examples/pwdemo/pwdemo-crash \
    build-demo/examples/pwdemo/pwdemo-boss "$demo/pwdemo/files/"
faketime_lib=/usr/lib/$(gcc -print-multiarch)/faketime/libfaketimeMT.so.1

cat >"$demo/inside.sh" <<INSIDE
# Private /tmp (run file, alive files, package) and /dev/shm (the clock).
mount -t tmpfs demo-tmp /tmp
mount -t tmpfs demo-shm /dev/shm
mkdir -p /tmp/.uci
: >/tmp/.uci/pwdemo.run
tail -n +1 -f /tmp/.uci/pwdemo.run | sed -u 's/^/[run file] /' &
echo "== plugwatch over examples/pwdemo, time x$speed, for $seconds s"
cd "$demo"
LD_PRELOAD="$faketime_lib" FAKETIME="+0 x$speed" ./pwdemo/files/pwdemo &
sleep $seconds
echo "== stopping the supervisor: its workers get SIGTERM"
kill \$!
sleep 1
echo "== boot-check record: \$(cat pwdemo/data/.bootchk 2>/dev/null)"
echo "== data directory: \$(ls pwdemo/data | tr '\n' ' ')"
INSIDE

if [ "$(id -u)" = 0 ]; then
    exec unshare -m -p -f --mount-proc --kill-child sh "$demo/inside.sh"
fi
exec unshare -r -m -p -f --mount-proc --kill-child sh "$demo/inside.sh"
