#!/usr/bin/env bash
# Installs what the project needs on a Debian machine (build tools, libraries,
# a virtual environment on the newest CPython >= 3.13 found here) and builds
# and installs the extension module into that environment. Safe to rerun.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v ccache >/dev/null 2>&1 || missing+=(ccache)
command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
for pkg in rapidjson-dev libgtest-dev libssl-dev graphviz; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The newest interpreter >= 3.13 that ships its development headers.
pick_python() {
  local best="" best_version=0 candidate version
  local candidates=()
  for name in python3.16 python3.15 python3.14 python3.13 python3; do
    command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
  done
  for candidate in /root/.pyenv/versions/*/bin/python3 /usr/local/bin/python3.*[0-9] /usr/bin/python3.*[0-9]; do
    [ -x "$candidate" ] && candidates+=("$candidate")
  done
  for candidate in "${candidates[@]}"; do
    version=$("$candidate" - <<'PY' 2>/dev/null || true
import os, sys, sysconfig
ok = sys.version_info >= (3, 13) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(sys.version_info[0] * 100 + sys.version_info[1] if ok else 0)
PY
)
    if [ -n "$version" ] && [ "$version" -gt "$best_version" ]; then
      best=$candidate
      best_version=$version
    fi
  done
  [ -n "$best" ] || { echo "setup: no CPython >= 3.13 with development headers found" >&2; exit 1; }
  echo "$best"
}

python=$(pick_python)
venv="$root/.venv"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.base" 2>/dev/null)" != "$python" ]; then
  echo "setup: creating .venv from $python ($("$python" --version))"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  echo "$python" > "$venv/.base"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check scikit-build-core pytest pytest-xdist numpy autograd jax \
  array_api_strict mypy
source scripts/compiler_cache.sh
"${compiler_cache[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
