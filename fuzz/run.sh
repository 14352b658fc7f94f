#!/usr/bin/env bash
# Builds fuzz_ibt with clang (libFuzzer, ASan, UBSan) under build/fuzz and runs it from the
# seed corpus and the regression inputs, for a number of executions or a time budget:
#   fuzz/run.sh 2000000        # that many executions
#   fuzz/run.sh --seconds 120  # that many seconds (CI)
# Extra arguments after these go to libFuzzer. Exits non-zero on any crash, sanitizer
# report, leak, timeout or out-of-memory; the input that caused it lands in
# build/fuzz/artifacts/. New inputs the fuzzer finds stay in build/fuzz/corpus/.
# Needs Debian's clang-19 and libclang-rt-19-dev (CLANG_VERSION picks another).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
clang_version="${CLANG_VERSION:-19}"
python="${PYTHON:-$(command -v python3)}"

usage() { echo "usage: $0 EXECUTIONS | --seconds SECONDS [libFuzzer options...]" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
if [[ "$1" == "--seconds" ]]; then
  [[ $# -ge 2 ]] || usage
  budget=(-max_total_time="$2")
  shift 2
else
  budget=(-runs="$1")
  shift
fi

mkdir -p "$build"
CC="clang-$clang_version" CXX="clang++-$clang_version" cmake -S "$root" -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANE_FUZZ=ON -DTELVANE_WERROR=ON -DPython_EXECUTABLE="$python" >"$build/cmake.log"
cmake --build "$build" --target fuzz_ibt --parallel 2 >>"$build/cmake.log"

mkdir -p "$build/corpus" "$build/artifacts"
# The first directory receives new inputs; the committed seeds and regressions are only read.
seeds=("$root/fuzz/corpus")
[[ -d "$root/fuzz/regressions" ]] && seeds+=("$root/fuzz/regressions")
# Inputs up to 64 KiB; a single allocation over 256 MiB or 2 GiB resident counts as
# out-of-memory: from a file this small, either means a missing size check.
exec env ASAN_SYMBOLIZER_PATH="${ASAN_SYMBOLIZER_PATH:-/usr/lib/llvm-$clang_version/bin/llvm-symbolizer}" \
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  "$build/fuzz/fuzz_ibt" -max_len=65536 -rss_limit_mb=2048 -malloc_limit_mb=256 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$build/artifacts/" "${budget[@]}" "$@" "$build/corpus" "${seeds[@]}"
