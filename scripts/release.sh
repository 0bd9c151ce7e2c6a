#!/bin/sh
# Writes the device release: dist/plugwatch-<version>-armhf-musl.tar.gz with
#   plugwatch                          the static musl ARM supervisor
#   plugwatch-status                   the static musl ARM status tool
#   plugwatch-verify                   the signature check of keyed plug-ins
#   include/plugwatch/worker.h         the worker kit's header
#   lib/libplugwatch_worker.a          the worker kit for musl ARM
#   doc/worker-guide.md                how to write workers
#   doc/integration-guide.md           where the files go, how to start them
#   example/                           an example plug-in and start-up entries
#   LICENSE, VERSION                   the licence; the release and version stamp
#   SHA256SUMS                         checksums of the files above
# The archive is the same for the same commit: fixed owner, order and dates.
# No emulator is needed: the memory per instance on the emulated board is a
# command of its own, bench/board-memory.sh.
#   scripts/release.sh [BUILD_DIR]     (default build-musl, built if needed)
set -e
cd "$(dirname "$0")/.."
build=${1:-build-musl}
scripts/build-musl.sh "$build"
version=$(sed -n 's/^project(plugwatch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
stamp_version=$(sed -n 's/.*BUILTIN_VERSION = "\([0-9.]*\)".*/\1/p' src/util/fixed_paths.h)
[ -n "$stamp_version" ] || { echo "release: no version stamp in src/util/fixed_paths.h" >&2; exit 1; }
name=plugwatch-$version-armhf-musl
stage=dist/$name
rm -rf "$stage"
mkdir -p "$stage/include/plugwatch" "$stage/lib" "$stage/doc" "$stage/example"
cp "$build/plugwatch-static" "$stage/plugwatch"
cp "$build/plugwatch-status-static" "$stage/plugwatch-status"
cp "$build/plugwatch-verify-static" "$stage/plugwatch-verify"
cp kit/include/plugwatch/worker.h "$stage/include/plugwatch/"
cp "$build/libplugwatch_worker.a" "$stage/lib/"
cp docs/worker-guide.md docs/integration-guide.md "$stage/doc/"
cp -R examples/integration/. "$stage/example/"
cp LICENSE "$stage/"
printf 'release %s\nversion stamp %s\n' "$version" "$stamp_version" >"$stage/VERSION"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs sha256sum >SHA256SUMS)
stamp=$(git log -1 --format=%cI 2>/dev/null || date -u +%Y-%m-%dT%H:%M:%SZ)
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="$stamp" -C dist -cf - "$name" |
    gzip -n -9 >"dist/$name.tar.gz"
(cd "$stage" && sha256sum -c --quiet SHA256SUMS)
echo "release: dist/$name.tar.gz ($(stat -c %s "dist/$name.tar.gz") bytes;" \
    "plugwatch $(stat -c %s "$stage/plugwatch") bytes, plugwatch-status $(stat -c %s "$stage/plugwatch-status") bytes," \
    "plugwatch-verify $(stat -c %s "$stage/plugwatch-verify") bytes)"
