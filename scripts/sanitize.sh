#!/usr/bin/env bash
# The sanitizer job: the runtime's GoogleTest suite and the module's pytest
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer. The
# reference frontend's suite is left out: it reaches no line of native/ or
# runtime/ that these two suites miss (scripts/coverage.sh shows it), and
# under the sanitizers it would cost about as much again as the module's.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python="$root/.venv/bin/python"
source scripts/compiler_cache.sh

# The extension and the runtime's tests are all this job loads; scripts/fuzz.sh
# builds the extension in the same tree first.
build=build/sanitize
"${compiler_cache[@]}" cmake -S . -B "$build" -DVORLIX_SANITIZE=ON -DVORLIX_BUILD_TESTS=ON -DVORLIX_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >/dev/null
"${compiler_cache[@]}" cmake --build "$build" -j2 --target _native_core runtime_tests

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure -j2

# The interpreter itself is not instrumented: preload the runtime, and leave
# leak checking to the weakref-based tests (the interpreter keeps objects
# alive until exit by design).
stage="$build/stage"
rm -rf "$stage" && mkdir -p "$stage/vorlix"
cp "$build"/_native_core*.so "$stage/vorlix/"
SUITE_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$root/$stage" bash scripts/suite.sh tests/python
