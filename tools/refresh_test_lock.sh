#!/usr/bin/env bash
# Rewrites tools/test_lock.txt with the newest releases of what the tests need:
# the package's test extra (every optional extra included) and the tools that
# build the package.  Run it on purpose, run ./tools/test.sh, and commit both
# together; the test command itself never resolves a version.
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
python3 -m venv "$scratch/venv"
"$scratch/venv/bin/python" -m pip install -q scikit-build-core cmake ninja
"$scratch/venv/bin/python" -m pip install -q --no-build-isolation ".[test]"
{
  echo "# What ./tools/test.sh installs, each at the version it installs; written by"
  echo "# ./tools/refresh_test_lock.sh.  The test command refuses to run when it"
  echo "# installed anything this file does not pin."
  "$scratch/venv/bin/python" -m pip freeze --all --exclude-editable |
    grep -v -i -E '^(halvorn|pip|setuptools|wheel)( |=)' | LC_ALL=C sort -f
} > tools/test_lock.txt
echo "wrote tools/test_lock.txt ($(grep -c '==' tools/test_lock.txt) packages)"
