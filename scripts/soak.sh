#!/bin/sh
# Soak: builds, then runs the supervisor through about 10,000 worker restarts
# under accelerated time (x1000) with workers dying in every way the protocol
# knows, checking that its descriptors and resident memory do not grow; then a
# shorter run under valgrind --leak-check=full that must report nothing.
#   scripts/soak.sh [RESTARTS [VALGRIND_RESTARTS]]
# Or, in plug-in days: four workers as a gateway in the field may have them
# (a crash loop, a segfault now and then, a hung worker running under another
# name, a restart of all every hour and an upgrade every day), with the run
# file, /tmp/.uci/, descriptors, memory and copies of workers watched.
#   scripts/soak.sh --days N [--speed S]        (default speed x2000)
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build >/dev/null
export PLUGWATCH_BIN="$(pwd)/build/plugwatch" PLUGWATCH_SCRATCH="$(pwd)/build/soak"
export PLUGWATCH_FAKETIME_LIB="/usr/lib/$(gcc -print-multiarch)/faketime/libfaketimeMT.so.1"
cd tests/blackbox
if [ "$1" = --days ]; then
    shift
    echo "== soak: plug-in days"
    exec python3 soak_days.py --days "$@"
fi
dpkg-query -W -f='${Status}' valgrind 2>/dev/null | grep -q "install ok installed" ||
    { [ "$(id -u)" = 0 ] && apt-get install -y -qq valgrind >/dev/null; } ||
    { echo "soak: valgrind is missing (apt-get install valgrind)" >&2; exit 2; }
echo "== soak: ${1:-10000} restarts"
python3 soak.py --restarts "${1:-10000}"
echo "== soak under valgrind: ${2:-300} restarts"
python3 soak.py --restarts "${2:-300}" --valgrind
