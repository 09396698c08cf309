#!/usr/bin/env bash
# Builds everything and runs every test: the runtime's GoogleTest suite
# through CTest, then the module's pytest suite against the installed build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/stages.sh
python="$root/.venv/bin/python"

gtest() {
  cmake -S . -B build/tests -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/tests -j"$(nproc)"
  ctest --test-dir build/tests --output-on-failure -j"$(nproc)"
}
# Run from the tests folder so that the installed package, not the source
# tree, is what gets imported.
suite() {
  local folder=$1
  shift
  cd "$root/$folder" && "$python" -m pytest -q -p no:cacheprovider "$@" .
}

stage setup bash scripts/setup.sh
stage gtest gtest
stage pytest suite tests/python
# The reference frontend's suite, on its own.
stage examples suite tests/examples
# The leak run: every test again, repeated, failing on memory that grows in
# every repetition (tests/python/leakcheck.py).
stage leaks suite tests/python --leak-runs=3
# The stub against the built module, and the typed example against the stub.
stage typecheck bash scripts/typecheck.sh
# The wheel and the sdist, installed into a fresh environment.
stage package bash scripts/package_check.sh
stage fuzz bash scripts/fuzz.sh
stage sanitize bash scripts/sanitize.sh
stage_table passed
