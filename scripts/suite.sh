#!/usr/bin/env bash
# Runs one pytest suite over both cores:
#
#   bash scripts/suite.sh tests/python [PYTEST ARGUMENTS...]
#
# Every test but the serial ones runs in two pytest-xdist workers; the tests
# marked serial (several threads, memory limits: tests whose outcome
# depends on having the process and the machine to themselves) run after,
# in one process. From the suite's folder, so that the installed package,
# not the source tree, is what gets imported. XDIST_WORKERS overrides the
# two workers; SUITE_PRELOAD is preloaded into the interpreter alone (the
# sanitizer job's runtimes).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python="$root/.venv/bin/python"
folder=$1
shift
cd "$root/$folder"
pytest=("$python" -m pytest -q -p no:cacheprovider)
[ -n "${SUITE_PRELOAD:-}" ] && pytest=(env LD_PRELOAD="$SUITE_PRELOAD" "${pytest[@]}")
# Both parts run, so that one run reports every failure.
parallel=0 serial=0
"${pytest[@]}" -n "${XDIST_WORKERS:-2}" -m "not serial" "$@" . || parallel=$?
# Status 5 is pytest's "no test selected": a suite may have no serial tests.
"${pytest[@]}" -p no:xdist -m serial "$@" . || serial=$?
((serial == 5)) && serial=0
exit $((parallel ? parallel : serial))
