#!/usr/bin/env bash
# Sets the project up and runs every benchmark; each prints its figures one
# per line, as ratios against a baseline measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
# The JSON figures also compare with orjson, a benchmark's dependency only.
.venv/bin/python -m pip install -q orjson

cmake -S . -B build/bench -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_BENCHMARKS=ON -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build build/bench -j"$(nproc)"
for exe in build/bench/bench_*; do
  [ -x "$exe" ] || continue
  echo "== $(basename "$exe")"
  "$exe"
done
# bench_staged.py also runs build/bench/staged_finish_baseline, and bench_walks.py
# imports build/bench's irreducible_walks module, both built above.
# bench_execution.py times execute_graph against a Python driver of the same evaluators.
# bench_staged_frontend.py stages through examples/eager and runs its NumPy evaluators.
for script in benchmarks/*.py; do
  echo "== $(basename "$script")"
  .venv/bin/python "$script"
done
