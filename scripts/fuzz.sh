#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (default 36 seconds) from the seed corpus in fuzz/corpus, in a private /tmp.
# Paths are absolute: a target may change its working directory.
# A crash leaves its input in build-fuzz/findings/ and fails the script.
#   scripts/fuzz.sh [SECONDS]
set -e
cd "$(dirname "$0")/.."
seconds=${1:-36}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPLUGWATCH_FUZZ=ON -DPLUGWATCH_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"${PLUGWATCH_JOBS:-$(nproc)}" >/dev/null
mkdir -p build-fuzz/findings
for target in config boot_record version_stamp run_file state_file; do
    work=$(pwd)/build-fuzz/corpus/$target
    rm -rf "$work"
    mkdir -p "$work"
    cp fuzz/corpus/"$target"/* "$work"/
    echo "== fuzz_$target for ${seconds}s"
    tests/run_isolated.sh build-fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" \
        -artifact_prefix="$(pwd)"/build-fuzz/findings/"$target"- -print_final_stats=1 "$work" 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::peak_rss|==.*ERROR|SUMMARY|Done)' || true
    if ls build-fuzz/findings/"$target"-* >/dev/null 2>&1; then
        echo "fuzz_$target found a crash: build-fuzz/findings/" >&2
        exit 1
    fi
done
echo "fuzzing: 5 passed, 0 failed"
