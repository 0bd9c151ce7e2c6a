#!/bin/sh
# Configures and builds plugwatch (and its tests) into ./build.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -DPLUGWATCH_BUILD_TESTS="${PLUGWATCH_BUILD_TESTS:-ON}" >/dev/null
cmake --build build -j"$(nproc)"
