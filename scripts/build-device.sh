#!/bin/sh
# Builds the device binary (32-bit ARM, size-optimised, stripped) into
# build-device/ and checks what the device needs of it: under 64 KiB, and
# linked against nothing but the C library and cJSON.
#   scripts/build-device.sh [TOOLCHAIN_FILE [CMAKE OPTION...]]
# The default toolchain is Debian's arm-linux-gnueabihf; for a device SDK's
# musl toolchain pass cmake/device-musl.cmake and its -DPLUGWATCH_SDK_PREFIX=...
set -e
cd "$(dirname "$0")/.."
toolchain=${1:-cmake/armhf-linux-gnueabihf.cmake}
[ $# -gt 0 ] && shift
PLUGWATCH_BUILD_TESTS=OFF scripts/build.sh build-device -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DPLUGWATCH_DEVICE=ON "$@" >/dev/null
bin=build-device/plugwatch
size=$(stat -c %s "$bin")
needed=$(readelf -d "$bin" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "device binary: $size bytes; needs: $needed"
status=0
[ "$size" -lt 65536 ] || { echo "larger than 64 KiB" >&2; status=1; }
for lib in $needed; do
    case $lib in
        libc.so*|libcjson.so*|ld-*) ;;
        *) echo "links against $lib" >&2; status=1 ;;
    esac
done
[ $status = 0 ] && echo "device build: 1 passed, 0 failed"
exit $status
