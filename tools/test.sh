#!/usr/bin/env bash
# Installs what the tests need and runs every test:
#   1. the C++ unit tests through CTest, in a release build;
#   2. the same tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
#      because the engine's saturating 64- and 128-bit arithmetic is exactly where
#      signed overflow would hide, and only a sanitizer sees it;
#   3. the Python tests through pytest, against the package as `pip install .` builds it,
#      with every optional extra installed (the test extra names them all) and a
#      headless Chromium for the test that renders a report's page;
#   4. the hostile-objects tests once more against the extension built with both
#      sanitizers, because a binding that reads freed memory may still pass a test
#      by luck, and under the sanitizer it cannot.
#
# The Python packages come from tools/test_lock.txt, at exactly the versions it
# pins, in a virtual environment this script makes for itself (reused while the
# lock and the interpreter stay the same), so what passes here passes on any
# fresh machine of this kind.  Build directories are reused between runs and
# compiles go through ccache, so a run rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_if_needed() { if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi; }
missing=()
dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
command -v ccache >/dev/null 2>&1 || missing+=(ccache)
# A report's HTML page is checked the way a person would see it: rendered by a
# headless browser and looked at.
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
if [ ${#missing[@]} -gt 0 ]; then
  sudo_if_needed apt-get update -qq
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

lock=tools/test_lock.txt
key=$( { python3 -c 'import sys; print(sys.version)'; cat "$lock"; } | sha256sum | cut -c1-16)
venv=${HALVORN_TEST_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/halvorn/test-venv-$key}
# The marker is written last: an environment whose install was cut short is
# made again rather than trusted.
if [ ! -f "$venv/.complete" ]; then
  rm -rf "$venv"
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$lock"
  touch "$venv/.complete"
fi
python="$venv/bin/python"
export PATH="$venv/bin:$PATH"
export CMAKE_CXX_COMPILER_LAUNCHER=ccache
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation -c "$lock" ".[test]"
"$python" tools/check_test_lock.py "$lock"

jobs=$(nproc)
configure_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DHALVORN_BUILD_TESTS=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

configure_and_test build/test -DCMAKE_BUILD_TYPE=Release -DHALVORN_BUILD_PYTHON=OFF
configure_and_test build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_SANITIZE=ON \
  -DHALVORN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python"

"$python" -m pytest -q tests/python

# Python's own allocator would hand a freed object's memory straight back to
# the next object, where the sanitizer cannot see it; plain malloc lets it.
PYTHONPATH="$PWD/build/sanitize/python" PYTHONMALLOC=malloc \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 HALVORN_EXPECT_SANITIZED=1 \
  "$python" -m pytest -q -p no:cacheprovider tests/python/test_hostile_objects.py
