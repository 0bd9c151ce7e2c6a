#!/bin/sh
# Configures and builds one configuration of plugwatch.
#   scripts/build.sh [DIR [CMAKE OPTION...]]     (default DIR: build)
# PLUGWATCH_JOBS sets how many compilers run at once (default: every core).
set -e
cd "$(dirname "$0")/.."
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -DPLUGWATCH_BUILD_TESTS="${PLUGWATCH_BUILD_TESTS:-ON}" "$@" >/dev/null
cmake --build "$dir" -j"${PLUGWATCH_JOBS:-$(nproc)}"
