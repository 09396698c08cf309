#!/usr/bin/env bash
# The sanitizer job: the runtime's GoogleTest suite and the module's pytest
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python="$root/.venv/bin/python"

build=build/sanitize
cmake -S . -B "$build" -DVORLIX_SANITIZE=ON -DVORLIX_BUILD_TESTS=ON -DVORLIX_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j"$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The interpreter itself is not instrumented: preload the runtime, and leave
# leak checking to the weakref-based tests (the interpreter keeps objects
# alive until exit by design).
stage="$build/stage"
rm -rf "$stage" && mkdir -p "$stage/vorlix"
cp "$build"/_native_core*.so "$stage/vorlix/"
for suite in tests/python tests/examples; do
  (cd "$root/$suite" &&
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$root/$stage" \
      "$python" -m pytest -q -p no:cacheprovider .)
done
