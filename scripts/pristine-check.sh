#!/bin/sh
# Runs the README's two commands (scripts/demo.sh, then scripts/test.sh) in a
# pristine Debian: a minbase system made by debootstrap in DIR/root, with this
# tree copied in (no git, no build output), entered with unshare and
# pivot_root so that the tests' own namespaces stay inside it. It shows that
# the two commands install everything they use. Needs root and Debian's
# package mirror; not one of the test script's stages (it downloads a base
# system).
#   scripts/pristine-check.sh [DIR]        (default build-pristine)
set -e
cd "$(dirname "$0")/.."
top=$(pwd)
dir=${1:-build-pristine}
[ "$(id -u)" = 0 ] || { echo "pristine-check: run as root (debootstrap, unshare, pivot_root)" >&2; exit 2; }
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null ||
    { echo "pristine-check: debootstrap is missing (apt-get install debootstrap)" >&2; exit 2; }
. /etc/os-release
suite=$VERSION_CODENAME
# The machine's own mirror, from either form of apt source list.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' | grep -v security | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -v security | head -n 1)
[ -n "$mirror" ] || { echo "pristine-check: no Debian mirror found in /etc/apt" >&2; exit 2; }

root=$top/$dir/root
rm -rf "$root"
mkdir -p "$root"
echo "== pristine-check: debootstrap --variant=minbase $suite from $mirror"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$top/$dir/debootstrap.log" 2>&1 ||
    { tail -n 20 "$top/$dir/debootstrap.log" >&2; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
rm -f "$root/etc/apt/sources.list" "$root/etc/apt/sources.list.d/"*
cp -a /etc/apt/sources.list /etc/apt/sources.list.d "$root/etc/apt/" 2>/dev/null || true

# The tree as a release tarball would hold it: source files only, no .git.
mkdir -p "$root/src/plugwatch"
python3 -c 'import sys; sys.path.insert(0, "scripts"); import mutants; print("\0".join(mutants.source_files()), end="")' |
    tar -c --null -T - -f - | tar -x -C "$root/src/plugwatch"
[ ! -e "$root/src/plugwatch/.git" ]
chroot "$root" sh -c 'command -v git' && { echo "pristine-check: the base system has git" >&2; exit 1; }

echo "== pristine-check: scripts/demo.sh and scripts/test.sh inside"
unshare -m -p -f sh -c '
    set -e
    root=$1
    mount --make-rprivate /
    mount --bind "$root" "$root"
    cd "$root"
    mount -t proc proc proc
    mount -t sysfs sys sys
    mount --rbind /dev dev
    mkdir -p oldroot
    pivot_root . oldroot
    umount -l /oldroot
    export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
    cd /src/plugwatch
    scripts/demo.sh && scripts/test.sh
' sh "$root"
echo "pristine-check: 1 passed, 0 failed"
