#!/usr/bin/env bash
# Runs the Python suite five times in a row while every core is kept busy by
# a spinning process, against the package as installed (run ./tools/test.sh,
# or pip install ".[test]", first).  A test that races a clock or a sleep
# fails here sooner or later; none may.
#   tools/loaded_runs.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
busy=()
stop_busy() { kill "${busy[@]}" 2>/dev/null || true; }
trap stop_busy EXIT
for _ in $(seq "$(nproc)"); do
  python3 -c "while 1: pass" &
  busy+=($!)
done
for i in $(seq "$runs"); do
  echo "== run $i of $runs, with ${#busy[@]} cores kept busy"
  python3 -m pytest -q -p no:cacheprovider tests/python
done
