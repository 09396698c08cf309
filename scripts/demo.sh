#!/usr/bin/env bash
# Sets the project up and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py"
