#!/usr/bin/env bash
# Packages the module and checks what a user would install: `pip wheel .`
# gives one wheel, tagged for this interpreter, holding only the extension,
# its stub and py.typed; `python -m build --sdist` gives an sdist that a
# fresh virtual environment installs (building it with the backend fetched
# by pip) and imports, stub included. The wheel is built in the installed
# build's folder, so it compiles only what changed since scripts/setup.sh;
# the sdist compiles in full, through the compiler cache where it can.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python="$root/.venv/bin/python"
source scripts/compiler_cache.sh
"$python" -P -c 'import build' 2>/dev/null || "$python" -m pip install -q --disable-pip-version-check build
out="$root/build/package"
rm -rf "$out"
mkdir -p "$out/wheel" "$out/sdist"

echo "package: pip wheel ."
"${compiler_cache[@]}" "$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$out/wheel" "$root"
"$python" - "$out/wheel" <<'PY'
import pathlib
import re
import sys
import zipfile

from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename

wheels = sorted(pathlib.Path(sys.argv[1]).glob("*.whl"))
if len(wheels) != 1:
    sys.exit(f"package: expected one wheel, found {[w.name for w in wheels]}")
wheel = wheels[0]
_, _, _, tags = parse_wheel_filename(wheel.name)
supported = set(sys_tags())
if not tags & supported:
    sys.exit(f"package: {wheel.name} has tags {sorted(map(str, tags))}, none of which this interpreter accepts")
interpreter = f"cp{sys.version_info[0]}{sys.version_info[1]}"
if {t.interpreter for t in tags} != {interpreter}:
    sys.exit(f"package: {wheel.name} is not tagged for {interpreter} alone")
names = zipfile.ZipFile(wheel).namelist()
payload = sorted(n for n in names if ".dist-info/" not in n)
extension = [n for n in payload if re.fullmatch(r"vorlix/_native_core\.[^/]+\.so", n)]
expected = sorted(extension + ["vorlix/_native_core.pyi", "vorlix/py.typed"])
if len(extension) != 1 or payload != expected:
    sys.exit(f"package: the wheel should hold the extension, its stub and py.typed only; it holds {payload}")
print(f"package: {wheel.name}: {', '.join(payload)}")
PY

echo "package: python -m build --sdist"
"$python" -P -m build -q --sdist --no-isolation -o "$out/sdist" "$root" >/dev/null
sdists=("$out"/sdist/*.tar.gz)
((${#sdists[@]} == 1)) || { echo "package: expected one sdist" >&2; exit 1; }

# A fresh environment on the same base interpreter, with build isolation:
# pip fetches the declared build backend itself. pip unpacks the sdist in
# its temporary folder, here one under the compiler cache's base folder, so
# that the sources sit at the same relative paths as in the installed build.
base=$(cat "$root/.venv/.base")
"$base" -m venv "$out/fresh"
mkdir -p "$out/tmp"
echo "package: pip install $(basename "${sdists[0]}") into a fresh environment"
TMPDIR="$out/tmp" "${compiler_cache[@]}" "$out/fresh/bin/python" -m pip install -q --disable-pip-version-check "${sdists[0]}"
(cd "$out" && "$out/fresh/bin/python" - <<'PY'
import pathlib

import vorlix._native_core as core

folder = pathlib.Path(core.__file__).parent
missing = [name for name in ("_native_core.pyi", "py.typed") if not (folder / name).is_file()]
assert not missing, f"the sdist install lacks {missing}"
assert core.__version__ == "0.3.1", core.__version__
tape = core.DynamicTape()
node = tape.record_input(1.0, (), "float64")
assert tape.node_count == 1 and node == 0
print(f"package: the sdist installs and imports: {core.__file__}")
PY
)
rm -rf "$out/fresh" "$out/tmp"
echo "package: clean"
