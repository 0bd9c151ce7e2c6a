#!/bin/sh
# Installs what is missing, builds, and runs every test:
#   1. the host build: unit and black-box suites;
#   2. AddressSanitizer with UndefinedBehaviorSanitizer, whole suite;
#   3. ThreadSanitizer, whole suite;
#   4. the 32-bit ARM cross build (glibc), whole suite under qemu-user;
#   5. the musl ARM build (the device's C library): the black-box suite on the
#      dynamic binary under qemu-user, the cases that need no accelerated
#      clock on the static device binary;
#   6. the emulated ARM board: a real 32-bit kernel with BusyBox running the
#      static musl binary (tests/board/run.sh);
#   7. the device build: size and libraries checked;
#   8. bounded libFuzzer runs of the configuration loader, the boot-check
#      reader and installer, the version-stamp parser and the status tool's
#      run-file and state-file readers;
#   9. a fixed tenth of the mutation check (scripts/mutants.sh runs it all);
#  10. two plug-in days of soak (scripts/soak.sh --days).
# PLUGWATCH_TEST_STAGES picks stages (default "host asan tsan arm musl board
# device fuzz mutants soak").
set -e
cd "$(dirname "$0")/.."
stages=${PLUGWATCH_TEST_STAGES:-host asan tsan arm musl board device fuzz mutants soak}
case "$stages" in
    *arm*|*musl*|*board*|*device*|*fuzz*) scripts/setup.sh --all ;;
    *) scripts/setup.sh ;;
esac
jobs=${PLUGWATCH_JOBS:-$(nproc)}

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
        musl)
            echo "== build-musl: build"
            scripts/build-musl.sh build-musl
            echo "== build-musl: tests"
            (cd build-musl/dynamic && ctest --output-on-failure -j"$jobs")
            tests/release_check.sh build-musl ;;
        board)
            echo "== board"
            tests/board/run.sh ;;
        device) scripts/build-device.sh ;;
        fuzz) scripts/fuzz.sh "${PLUGWATCH_FUZZ_SECONDS:-20}" ;;
        mutants) scripts/mutants.sh --sample 10 --dir build-mutants-sample ;;
        soak) scripts/soak.sh --days 2 ;;
        *) echo "unknown stage: $stage" >&2; exit 2 ;;
    esac
done
