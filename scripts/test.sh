#!/usr/bin/env bash
# Builds everything and runs every test: the runtime's GoogleTest suite
# through CTest, then the module's pytest suite against the installed build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh

cmake -S . -B build/tests -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests -j"$(nproc)"
ctest --test-dir build/tests --output-on-failure -j"$(nproc)"

# Run from the tests folder so that the installed package, not the source
# tree, is what gets imported.
(cd tests/python && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .)
# The reference frontend's suite, on its own.
(cd tests/examples && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider .)
# The leak run: every test again, repeated, failing on memory that grows in
# every repetition (tests/python/leakcheck.py).
(cd tests/python && "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider --leak-runs=3 .)

# The stub against the built module, and the typed example against the stub.
bash scripts/typecheck.sh
# The wheel and the sdist, installed into a fresh environment.
bash scripts/package_check.sh

bash scripts/fuzz.sh
bash scripts/sanitize.sh
bash scripts/interpreters.sh
