#!/usr/bin/env bash
# Builds everything and runs every test, one stage after another; at the end
# (or at the first failing stage) it prints each stage's wall and CPU time.
# A new stage is one more `stage NAME COMMAND...` line.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/stages.sh
source scripts/compiler_cache.sh

# Unoptimised, with the runtime's assertions on: the sanitizer stage runs the
# same tests optimised, and at -O0 they compile in under half the time.
gtest() {
  "${compiler_cache[@]}" cmake -S . -B build/tests -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  "${compiler_cache[@]}" cmake --build build/tests -j2
  ctest --test-dir build/tests --output-on-failure -j2
}

# Installs what is missing and builds the module into .venv.
stage setup bash scripts/setup.sh
# The newer interpreters' chroot is made (when it is not cached) alongside
# the stages before theirs, which waits for it. Its log is kept under build/.
mkdir -p build
bash scripts/interpreters.sh --prepare >build/interpreters-prepare.log 2>&1 &
prepare=$!
trap 'kill "$prepare" 2>/dev/null || true' EXIT
# The C++ laid out as .clang-format says.
stage format bash scripts/format.sh --check
# The runtime's GoogleTest suite through CTest.
stage gtest gtest
# The module's suite, then the reference frontend's on its own.
stage pytest bash scripts/suite.sh tests/python
stage examples bash scripts/suite.sh tests/examples
# The leak run: the module's tests again, each repeated, failing on memory
# that grows in every repetition (tests/python/leakcheck.py).
stage leaks bash scripts/suite.sh tests/python --leak-runs=3
# The stub against the built module, and the typed example against the stub.
stage typecheck bash scripts/typecheck.sh
# The wheel and the sdist, installed into a fresh environment.
stage package bash scripts/package_check.sh
stage fuzz bash scripts/fuzz.sh
stage sanitize bash scripts/sanitize.sh
# CPython 3.14, 3.15 and 3.14's debug build, in a Debian chroot.
stage interpreters bash scripts/interpreters.sh
stage_table passed
