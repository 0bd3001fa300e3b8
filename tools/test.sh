#!/usr/bin/env bash
# Installs what the tests need and runs every test:
#   1. the C++ unit tests through CTest, in a release build;
#   2. the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
#      because the engine's saturating 64- and 128-bit arithmetic is exactly where
#      signed overflow would hide, and only a sanitizer sees it;
#   3. the Python tests through pytest, against the package as `pip install .` builds it,
#      with every optional extra installed (the test extra names them all) and a
#      headless Chromium for the test that renders a report's page.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_if_needed() { if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi; }
if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  sudo_if_needed apt-get update -qq
  sudo_if_needed apt-get install -y -qq libgtest-dev
fi
# A report's HTML page is checked the way a person would see it: rendered by a
# headless browser and looked at.
if ! command -v chromium >/dev/null 2>&1; then
  sudo_if_needed apt-get update -qq
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium
fi

python3 -m pip install -q --upgrade ".[test]"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
jobs=$(nproc)

configure_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "${generator[@]}" -DHALVORN_BUILD_TESTS=ON -DHALVORN_BUILD_PYTHON=OFF "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

configure_and_test build/test -DCMAKE_BUILD_TYPE=Release
configure_and_test build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_SANITIZE=ON

python3 -m pytest -q tests/python
