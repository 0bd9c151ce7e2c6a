#!/bin/sh
# Installs what is missing, builds, and runs plugwatch over the example
# plug-in in examples/pwdemo with the authors' workbench (tools/plugwatch-try):
# 14 seconds with time running 50 times faster, in a private mount and PID
# namespace, showing the console, the run file's event lines and the worker
# starts as they happen, then the summary and a timeline picture.
set -e
cd "$(dirname "$0")/.."
scripts/setup.sh
PLUGWATCH_BUILD_TESTS=OFF scripts/build.sh build-demo >/dev/null

# The plug-in as it would ship: files/ with config and the worker programs.
plugin=build-demo/pwdemo
rm -rf "$plugin"
mkdir -p "$plugin/files" "$plugin/data"
cp examples/pwdemo/files/config "$plugin/files/"
for worker in heart crash boss; do
    cp "build-demo/examples/pwdemo/pwdemo-$worker" "$plugin/files/"
done
exec tools/plugwatch-try "$plugin" --supervisor build-demo/plugwatch \
    --seconds "${DEMO_SECONDS:-14}" --speed "${DEMO_SPEED:-50}" \
    --timeline build-demo/pwdemo-timeline.svg
