#!/bin/sh
# The release builds without an emulator: with every qemu on the search path
# replaced by a stub that records its call, scripts/release.sh must write
# the tarball, with every file the integration guide lists, and call none.
#   tests/release_check.sh [BUILD_DIR]
set -e
cd "$(dirname "$0")/.."
build=${1:-build-musl}
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
for q in qemu-arm qemu-arm-static qemu-system-arm; do
    printf '#!/bin/sh\necho "$0 $*" >>"%s/called"\nexit 1\n' "$stubs" >"$stubs/$q"
    chmod +x "$stubs/$q"
done
PATH=$stubs:$PATH scripts/release.sh "$build" >"$stubs/log" 2>&1 || { cat "$stubs/log"; echo "release check: release.sh failed" >&2; exit 1; }
[ ! -e "$stubs/called" ] || { echo "release check: an emulator was called: $(cat "$stubs/called")" >&2; exit 1; }
version=$(sed -n 's/^project(plugwatch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tarball=dist/plugwatch-$version-armhf-musl.tar.gz
listing=$(tar -tzf "$tarball")
missing=0
for f in plugwatch plugwatch-status plugwatch-verify include/plugwatch/worker.h lib/libplugwatch_worker.a doc/worker-guide.md \
    doc/integration-guide.md example/pwexample/files/config example/pwexample/files/agent example/inittab \
    example/S90pwexample LICENSE VERSION SHA256SUMS; do
    echo "$listing" | grep -qx "plugwatch-$version-armhf-musl/$f" || { echo "release check: $f missing" >&2; missing=1; }
done
[ $missing = 0 ]
tar -xzOf "$tarball" "plugwatch-$version-armhf-musl/VERSION" | grep -qx "release $version"
echo "release check: $tarball written without an emulator, every file in it"
