#!/usr/bin/env bash
# Fuzzes the artifact reader for a minute: builds its libFuzzer target with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, seeds it with the
# written artifacts of tests/fuzz/corpus, and fails on any crash, leak,
# sanitizer report or broken round trip. FUZZ_SECONDS overrides the minute.
# Beside it fuzzes the module's conversions from Python (atheris targets
# tests/fuzz/fuzz_*.py: attributes both ways, dtype resolution,
# deserialize_graph_json) against a sanitized build of the extension, each
# for FUZZ_PY_SECONDS (default 20) seconds, seeded from tests/fuzz/corpus_*.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-60}

# clang with its libFuzzer runtime, and the runtime's own build dependencies.
has_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' |
    clang++ -x c++ -fsanitize=fuzzer - -o /dev/null >/dev/null 2>&1
}
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
for pkg in rapidjson-dev libssl-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
if ((${#missing[@]})) || ! has_libfuzzer; then
  echo "fuzz: installing ${missing[*]:-} and the clang runtime"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  ((${#missing[@]})) && apt-get install -y -qq "${missing[@]}" >/dev/null
  version=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
  has_libfuzzer || apt-get install -y -qq "libclang-rt-${version}-dev" >/dev/null
  has_libfuzzer || { echo "fuzz: clang cannot link libFuzzer" >&2; exit 1; }
fi

source scripts/compiler_cache.sh
python="$root/.venv/bin/python"
py_seconds=${FUZZ_PY_SECONDS:-20}
"$python" -c 'import atheris' 2>/dev/null || "$python" -m pip install -q --disable-pip-version-check atheris

# Optimised but with assertions: an assertion is a finding too.
build=build/fuzz
"${compiler_cache[@]}" cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DVORLIX_BUILD_FUZZERS=ON \
  -DVORLIX_BUILD_MODULE=OFF -DVORLIX_BUILD_TESTS=OFF -DVORLIX_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
"${compiler_cache[@]}" cmake --build "$build" -j2 --target artifact_fuzz

# The module's conversions. The extension is the sanitizer job's build
# (same tree and flags, so that job reuses it); the interpreter is not
# instrumented, so the sanitizer runtimes are preloaded and leak checking is
# left to the weakref-based tests. The preloaded runtime's no-op coverage
# hooks take the place of the fuzzer's, so these runs generate inputs
# without coverage feedback; every input is still checked by the sanitizers
# and by the harness's reference model. Run a target against the release
# build (.venv, no preload) for coverage-guided fuzzing of the harness.
sanitized=build/sanitize
"${compiler_cache[@]}" cmake -S . -B "$sanitized" -DVORLIX_SANITIZE=ON -DVORLIX_BUILD_TESTS=ON -DVORLIX_BUILD_MODULE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >/dev/null
"${compiler_cache[@]}" cmake --build "$sanitized" -j2 --target _native_core

# Each fuzzer is one process on one core: the artifact reader's run goes on
# beside the conversions' runs (one after another), so both cores fuzz for
# the minute. Work on copies of the seeds, so what the runs add stays out of
# the tree.
corpus="$build/corpus"
findings="$build/findings"
rm -rf "$corpus" "$findings"
mkdir -p "$corpus" "$findings"
cp tests/fuzz/corpus/* "$corpus/"
log="$build/artifact_fuzz.log"
echo "fuzz: artifact reader for ${seconds}s, beside the conversions (its output in $log)"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$build/artifact_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
  -dict=tests/fuzz/artifact.dict -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1 &
artifact_fuzz=$!
# A failure before the wait below leaves no fuzzer running behind the script.
trap 'kill "$artifact_fuzz" 2>/dev/null || true' EXIT

work=build/fuzz-python
rm -rf "$work" && mkdir -p "$work/stage/vorlix" "$work/findings"
cp "$sanitized"/_native_core*.so "$work/stage/vorlix/"
conversions=0
for target in attrs dtype graph_json; do
  cp -r "tests/fuzz/corpus_$target" "$work/corpus_$target"
  extra=()
  [ "$target" = graph_json ] && extra=(-dict=tests/fuzz/artifact.dict)
  echo "fuzz: $target for ${py_seconds}s"
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH="$root/$work/stage" \
    "$python" "tests/fuzz/fuzz_$target.py" -max_total_time="$py_seconds" -timeout=30 -rss_limit_mb=4096 \
    -max_len=16384 -artifact_prefix="$work/findings/$target-" -print_final_stats=1 "${extra[@]}" "$work/corpus_$target" ||
    { conversions=$?; break; }
done

artifact=0
wait "$artifact_fuzz" || artifact=$?
trap - EXIT
if ((artifact)); then
  cat "$log"
  echo "fuzz: the artifact reader's run failed (status $artifact)" >&2
else
  echo "fuzz: artifact reader, the end of its output:"
  tail -n 12 "$log"
fi
((conversions == 0 && artifact == 0))
