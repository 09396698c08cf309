#!/usr/bin/env bash
# The newer interpreters: builds the module for CPython 3.14, 3.15 and 3.14's
# debug build with a second compiler (the GCC of Debian's unstable archive,
# warnings as errors), builds and runs the runtime's GoogleTest suite with
# that compiler, and runs the module's pytest suite on each interpreter, the
# leak run with its exact reference count on the debug one.
#
# Those interpreters need a newer C library than this machine's, so they run
# in a chroot made once with debootstrap from the archive this machine's apt
# already uses, and kept outside the repository under a name derived from its
# package list (a changed list makes a new one). Needs root.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(python3.14-dev python3.14-dbg python3.15-dev python3-numpy python3-pytest
  g++ cmake make ccache libssl-dev rapidjson-dev libgtest-dev)
suite=sid
# Where chroots are kept; another place keeps a run apart from the usual one.
cache=${VORLIX_INTERPRETER_CACHE:-/var/cache/vorlix-interpreters}
key=$(printf '%s\n' "$suite" minbase "${packages[@]}" | sha256sum | cut -c1-16)
jail=$cache/$key

# The archive's URI, from the first enabled source of this machine's own
# release (its security and update suites are other archives).
mirror_uri() {
  local codename files=()
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  shopt -s nullglob
  [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
  files+=(/etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  shopt -u nullglob
  ((${#files[@]})) || return 1
  awk -v want="$codename" '
    function pick(uris, suites,   u, s, n, i) {
      n = split(suites, s, /[ \t]+/)
      for (i = 1; i <= n; i++) if (s[i] == want) { split(uris, u, /[ \t]+/); print u[1]; found = 1; exit }
    }
    function stanza() {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no") pick(uris, suites)
      types = uris = suites = enabled = ""
    }
    FNR == 1 && deb822 { stanza() }
    FNR == 1 { deb822 = FILENAME ~ /\.sources$/ }
    deb822 && /^[ \t]*$/ { stanza(); next }
    deb822 && /^[A-Za-z-]+:/ {
      field = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
      sub(/^[ \t]+/, "", value); sub(/[ \t]+$/, "", value)
      if (field == "types") types = value; else if (field == "uris") uris = value
      else if (field == "suites") suites = value; else if (field == "enabled") enabled = value
      next
    }
    !deb822 && $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) while ($i !~ /\]$/ && i < NF) i++
      if ($i ~ /^\[/ || $i ~ /\]$/) i++
      if ($(i + 1) == want) { print $i; found = 1; exit }
    }
    END { if (!found && deb822) stanza() }
  ' "${files[@]}" | grep -E '^(https?|ftp)://' | head -n 1
}

make_jail() {
  command -v debootstrap >/dev/null 2>&1 || {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  }
  local uri partial=$jail.partial
  uri=$(mirror_uri) || true
  [ -n "$uri" ] || { echo "interpreters: no Debian archive found in the apt sources" >&2; exit 1; }
  echo "interpreters: making the $suite chroot in $jail"
  rm -rf "$partial"
  # The chroot is thrown away whole if anything fails, so dpkg need not sync
  # each file it writes.
  if ! DPKG_FORCE=unsafe-io debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
    "$suite" "$partial" "$uri" >"$cache/debootstrap.log" 2>&1; then
    tail -n 30 "$cache/debootstrap.log" >&2
    exit 1
  fi
  chroot "$partial" apt-get clean
  rm -rf "$partial"/var/lib/apt/lists/*
  # Chroots made from an older package list are no longer used.
  find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$key" ! -name "$key.partial" -exec rm -rf {} +
  mv "$partial" "$jail"
}

if [ "${1:-}" != --inside ]; then
  [ "$(id -u)" -eq 0 ] || { echo "interpreters: needs root (debootstrap, chroot and mounts)" >&2; exit 1; }
  mkdir -p "$cache" "$root/build/interpreters"
  # Several work trees may share the machine: one makes the chroot while the
  # others wait, and then they all use it under a shared lock.
  exec 9>"$cache/lock"
  flock 9
  TIMEFORMAT="interpreters: %0R s wall, %0U s user, %0S s system: the chroot"
  [ -d "$jail" ] || time make_jail
  # With --prepare, only the chroot: the test command makes it while its
  # other stages run, since making it mostly waits on the network and disk.
  [ "${1:-}" = --prepare ] && exit 0
  flock -s 9
  # A mount namespace of its own: the mounts vanish with the run, and runs
  # from other work trees do not see each other's.
  exec unshare --mount --propagation private bash -c '
    set -euo pipefail
    jail=$1 src=$2 build=$3
    mount -t proc proc "$jail/proc"
    mount --rbind /dev "$jail/dev"
    mkdir -p "$jail/src" "$jail/build"
    mount --bind "$src" "$jail/src" && mount -o remount,bind,ro "$jail/src"
    mount --bind "$build" "$jail/build"
    exec chroot "$jail" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      bash /src/scripts/interpreters.sh --inside
  ' interpreters "$jail" "$root" "$root/build/interpreters"
fi

# Inside the chroot: the work tree is /src (read-only), the builds go to /build.
export CCACHE_DIR=/var/cache/ccache PYTHONDONTWRITEBYTECODE=1
echo "interpreters: $(g++ --version | head -n 1), $(cmake --version | head -n 1)"
interpreters=(python3.14 python3.15 python3.14d)

# One set of flags for every tree, so that the runtime's objects are compiled
# once and come from the compiler cache in the others.
build() {
  local tree=$1
  shift
  cmake -S /src -B "/build/$tree" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" "$@" >/dev/null
  cmake --build "/build/$tree" -j2 >"/build/$tree-build.log" 2>&1 || { cat "/build/$tree-build.log"; return 1; }
}

TIMEFORMAT="interpreters: %0R s wall, %0U s user, %0S s system: the runtime's GoogleTest suite"
time {
  build runtime -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_TESTS=ON
  ctest --test-dir /build/runtime -j2 --output-on-failure | tail -n 3
}
for python in "${interpreters[@]}"; do
  TIMEFORMAT="interpreters: %0R s wall, %0U s user, %0S s system: the module for $python"
  time {
    build "$python" -DPython_EXECUTABLE="/usr/bin/$python"
    rm -rf "/build/$python/stage" && mkdir -p "/build/$python/stage/vorlix"
    cp "/build/$python"/_native_core*.so "/build/$python/stage/vorlix/"
  }
done
# The suites run two at a time, each with its output in a log shown when it
# ends. The debug interpreter's run is the leak run, which runs every test
# too; it is the longest, so its files are split between two processes.
suite() {
  local python=$1 name=$2
  shift 2
  (cd /src/tests/python && PYTHONPATH="/build/$python/stage" "$python" -m pytest -q -p no:cacheprovider "$@") \
    >"/build/$name.log" 2>&1
}
pair() {
  local first=$1 second=$2 failed=0
  wait "$first" || failed=1
  wait "$second" || failed=1
  return "$failed"
}
show() {
  local name
  for name; do
    echo "interpreters: $name"
    grep -v '^[.sxF]*\( *\[ *[0-9]*%\]\)\?$' "/build/$name.log" || true
  done
}
TIMEFORMAT="interpreters: %0R s wall, %0U s user, %0S s system: the module's suite on python3.14 and python3.15"
time {
  suite python3.14 python3.14 . & first=$!
  suite python3.15 python3.15 . & second=$!
  pair "$first" "$second" || { show python3.14 python3.15; exit 1; }
}
show python3.14 python3.15
# Alternate files by size, so that the two halves take about as long.
mapfile -t files < <(cd /src/tests/python && ls -S test_*.py)
TIMEFORMAT="interpreters: %0R s wall, %0U s user, %0S s system: the leak run on python3.14d"
time {
  suite python3.14d leak-even --leak-runs=3 $(printf '%s\n' "${files[@]}" | sed -n 'p;n') & first=$!
  suite python3.14d leak-odd --leak-runs=3 $(printf '%s\n' "${files[@]}" | sed -n 'n;p') & second=$!
  pair "$first" "$second" || { show leak-even leak-odd; exit 1; }
}
show leak-even leak-odd
