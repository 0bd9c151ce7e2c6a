#!/bin/sh
# Mutation check: breaks the code in each way tests/mutants.tsv names, one at a
# time in a copy of the tree, and reports whether the tests notice.
#   scripts/mutants.sh                every mutant (about ten minutes on two cores)
#   scripts/mutants.sh --sample 10    a fixed tenth of them, as CI runs it
#   scripts/mutants.sh --only 3,17    the mutants with these numbers
# Exits 1 when a mutant survives, no longer applies or does not build.
set -e
cd "$(dirname "$0")/.."
command -v python3 >/dev/null || { echo "mutants: python3 is missing (apt-get install python3)" >&2; exit 2; }
scripts/setup.sh
exec python3 scripts/mutants.py "$@"
