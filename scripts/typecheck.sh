#!/usr/bin/env bash
# Checks the installed stub against the installed extension with stubtest,
# and the typed example with mypy --strict against that stub. Expects
# scripts/setup.sh to have built and installed the module into .venv.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python="$root/.venv/bin/python"
"$python" -c 'import mypy' 2>/dev/null || "$python" -m pip install -q --disable-pip-version-check mypy
cache="$root/build/mypy-cache"

# From outside the source tree, so that only the installed package is seen.
cd "$root/tests/python"
echo "typecheck: stubtest vorlix._native_core"
"$python" -m mypy.stubtest vorlix._native_core
echo "typecheck: mypy --strict examples/typed_usage.py examples/pictures.py"
"$python" -m mypy --strict --cache-dir "$cache" "$root/examples/typed_usage.py" "$root/examples/pictures.py"
# The typed example is a program too: it must also run.
"$python" "$root/examples/typed_usage.py" >/dev/null
echo "typecheck: clean"
