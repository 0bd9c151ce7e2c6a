#!/bin/sh
# Installs what building and testing plugwatch needs, from Debian's packages.
# As root it runs apt-get; otherwise it prints what is missing and fails.
#   scripts/setup.sh           what the host build, its tests and the demo need
#   scripts/setup.sh --musl    also the musl ARM build (scripts/build-musl.sh)
#   scripts/setup.sh --board   also the emulated ARM board (tests/board/run.sh)
#   scripts/setup.sh --all     also the 32-bit ARM cross builds (glibc and musl)
#                              under qemu-user and clang's libFuzzer
set -e
BASE="g++ cmake make pkg-config libcjson-dev libsodium-dev signify-openbsd libgtest-dev libfaketime psmisc tar gzip python3 util-linux"
CROSS="g++-arm-linux-gnueabihf qemu-user libcjson-dev:armhf libsodium-dev:armhf libgtest-dev:armhf libfaketime:armhf libstdc++6:armhf"
MUSL="g++-arm-linux-gnueabihf qemu-user musl-dev:armhf dpkg-dev autoconf automake libtool"
BOARD="qemu-system-arm cpio e2fsprogs"
FUZZ="clang libclang-rt-dev"

case "$1" in
    --all) wanted="$BASE $CROSS $MUSL $BOARD $FUZZ" ;;
    --musl) wanted="$BASE $MUSL" ;;
    --board) wanted="$BASE $MUSL $BOARD" ;;
    *) wanted=$BASE ;;
esac

missing=""
for p in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages:$missing"
    case "$missing" in *:armhf*) echo "first, as root:  dpkg --add-architecture armhf && apt-get update" ;; esac
    echo "then, as root:   apt-get install$missing"
    exit 1
fi
echo "installing:$missing"
case "$missing" in
    *:armhf*) dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf ;;
esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null
