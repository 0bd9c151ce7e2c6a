#!/bin/sh
# Installs what is missing, builds, and runs every test:
#   1. the host build: unit and black-box suites;
#   2. AddressSanitizer with UndefinedBehaviorSanitizer, whole suite;
#   3. ThreadSanitizer, whole suite;
#   4. the 32-bit ARM cross build, whole suite under qemu-user;
#   5. the device build: size and libraries checked;
#   6. bounded libFuzzer runs of the configuration loader, the boot-check
#      reader and the version-stamp parser.
# PLUGWATCH_TEST_STAGES picks stages (default "host asan tsan arm device fuzz").
set -e
cd "$(dirname "$0")/.."
stages=${PLUGWATCH_TEST_STAGES:-host asan tsan arm device fuzz}
case "$stages" in
    *arm*|*device*|*fuzz*) scripts/setup.sh --all ;;
    *) scripts/setup.sh ;;
esac
jobs=$(nproc)

run_suite() {
    dir=$1
    shift
    echo "== $dir: build"
    scripts/build.sh "$dir" "$@" >/dev/null
    echo "== $dir: tests"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

for stage in $stages; do
    case $stage in
        host) run_suite build ;;
        asan) run_suite build-asan -DPLUGWATCH_SANITIZE=address,undefined ;;
        tsan) run_suite build-tsan -DPLUGWATCH_SANITIZE=thread ;;
        arm) run_suite build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake ;;
        device) scripts/build-device.sh ;;
        fuzz) scripts/fuzz.sh "${PLUGWATCH_FUZZ_SECONDS:-60}" ;;
        *) echo "unknown stage: $stage" >&2; exit 2 ;;
    esac
done
