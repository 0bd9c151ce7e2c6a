#!/bin/sh
# Memory on the device: boots the emulated ARM board with the release's
# static musl supervisor and prints, per instance of four plug-ins with four
# sleeping workers each (one with an alive file), USS and PSS and the USS by
# mapping, for private copies of the binary and for entries linked to one
# installed binary, plus the static binary's size. A measurement, not a test.
#   bench/board-memory.sh        (about two minutes after the musl build)
set -e
cd "$(dirname "$0")/.."
scripts/build-musl.sh build-musl >/dev/null
exec tests/board/run.sh --memory
