#!/bin/sh
# Installs what building and testing plugwatch needs, from Debian's packages.
# As root it runs apt-get; otherwise it prints what is missing.
set -e
PACKAGES="g++ cmake make pkg-config libcjson-dev libgtest-dev libfaketime psmisc tar gzip python3 util-linux"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
else
    echo "missing Debian packages:$missing"
    echo "install them as root:  apt-get install$missing"
    exit 1
fi
