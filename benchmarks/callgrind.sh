#!/usr/bin/env bash
# Instruction counts per node (or per call) of the benchmark workloads under
# callgrind, which do not vary with machine load: each side runs once and
# three times, and the difference is divided by the work of two runs.
# Usage: bash benchmarks/callgrind.sh [python]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
py=${1:-$root/.venv/bin/python}

count() {  # instructions of one command
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

per_unit() {  # script, units per run, args before the repeat count
  local script=$1 units=$2
  shift 2
  local one three
  one=$(count "$py" "$root/benchmarks/$script" "$@" 1)
  three=$(count "$py" "$root/benchmarks/$script" "$@" 3)
  echo $(( (three - one) / 2 / units ))
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

core=$(per_unit bench_record.py 200000 --only core)
noop=$(per_unit bench_record.py 200000 --only noop)
echo "record_operation instructions per call: $core, no-op call: $noop, ratio $(ratio "$core" "$noop")"
for shape in chain wide; do
  for dir in JVP VJP; do
    core=$(per_unit bench_walks.py 100000 --only "$shape $dir" core)
    floor=$(per_unit bench_walks.py 100000 --only "$shape $dir" floor)
    echo "$shape $dir instructions per node: core $core, floor $floor, ratio $(ratio "$core" "$floor")"
    if [ -e "$root"/build/bench/irreducible_walks.*.so ]; then
      bare=$(per_unit bench_walks.py 100000 --only "$shape $dir" bare)
      echo "$shape $dir instructions per node: bare C loop $bare, floor $floor, ratio $(ratio "$bare" "$floor")"
      [ "$dir" = JVP ] && bare_one=$bare
    fi
    [ "$dir" = JVP ] && one=$core
  done
  lanes=$(per_unit bench_walks.py 1600000 --only "$shape 16-lane JVP" core)
  echo "$shape 16-lane JVP instructions per node per lane: $lanes, one lane: $one, ratio $(ratio "$lanes" "$one")"
  if [ -e "$root"/build/bench/irreducible_walks.*.so ]; then
    lanes=$(per_unit bench_walks.py 1600000 --only "$shape bare 16-lane JVP" core)
    echo "$shape 16-lane JVP, bare C loop, instructions per node per lane: $lanes, one lane: $bare_one," \
      "ratio $(ratio "$lanes" "$bare_one")"
  fi
done
for side in execute_graph "python loop"; do
  echo "$side, __slots__ values, instructions per node: $(per_unit bench_execution.py 100000 --only "$side")"
done
