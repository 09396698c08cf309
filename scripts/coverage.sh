#!/usr/bin/env bash
# Line coverage of native/ and runtime/ by the module's own tests (the
# runtime's GoogleTest suite and tests/python) and by the reference
# frontend's suite (tests/examples), each measured on its own with gcov,
# and the lines that only the frontend's suite reaches. The leak run and the
# sanitizer run leave the frontend's suite out on the strength of that list
# being empty: rerun this when either suite changes. Not part of the test
# command; expects scripts/setup.sh to have run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python="$root/.venv/bin/python"
"$python" -c 'import gcovr' 2>/dev/null || "$python" -m pip install -q --disable-pip-version-check gcovr

build=build/coverage
cmake -S . -B "$build" -DVORLIX_BUILD_MODULE=ON -DVORLIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="--coverage -O1" \
  -DCMAKE_MODULE_LINKER_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j2 --target _native_core runtime_tests
stage="$build/stage"
rm -rf "$stage" && mkdir -p "$stage/vorlix"
cp "$build"/_native_core*.so "$stage/vorlix/"

for suite in python examples; do
  find "$build" -name '*.gcda' -delete
  # Through CTest, a process per test, as the test command runs them.
  [ "$suite" = python ] && ctest --test-dir "$build" -j2 --output-on-failure | tail -n 3
  (cd "tests/$suite" && PYTHONPATH="$root/$stage" "$python" -m pytest -q -p no:cacheprovider .)
  "$python" -m gcovr -r "$root" --filter 'native/' --filter 'runtime/' --json "$build/$suite.json" "$build"
done

"$python" - "$build/python.json" "$build/examples.json" <<'PY'
import json
import sys


def covered(path):
    """{(file, line)} of the lines executed at least once, and the lines gcov counts."""
    hit, counted = set(), set()
    for entry in json.load(open(path))["files"]:
        for line in entry["lines"]:
            key = (entry["file"], line["line_number"])
            counted.add(key)
            if line["count"] > 0:
                hit.add(key)
    return hit, counted


module, counted = covered(sys.argv[1])
frontend, _ = covered(sys.argv[2])
print(f"coverage: {len(counted)} lines of native/ and runtime/; the module's tests run {len(module)}, "
      f"the frontend's suite {len(frontend)}, both {len(module | frontend)}")
only = sorted(frontend - module)
for file, line in only:
    print(f"coverage: only the frontend's suite runs {file}:{line}")
print(f"coverage: {len(only)} lines run only by the frontend's suite")
PY
