#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer (TELVANE_SANITIZE=ON,
# GCC) under build/sanitize and runs the pytest suite against it, the sanitizer runtime preloaded
# into the uninstrumented interpreter. Arguments go to pytest:
#   fuzz/run_sanitized_tests.sh            # the whole suite
#   fuzz/run_sanitized_tests.sh -k reader
# PYTHON (default python3) names an interpreter whose environment has the test dependencies;
# the suite imports pyarrow, numpy and pytest from it, and telvane from build/sanitize/site.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/sanitize"
python="${PYTHON:-python3}"
cxx="${CXX:-g++}"

# The ASan runtime must come first; libstdc++ too, or ASan finds no __cxa_throw to intercept
# (the interpreter is C) and aborts at the first C++ exception.
preload=""
for library in libasan.so libstdc++.so.6; do
  path="$("$cxx" -print-file-name="$library")"
  [[ "$path" == /* ]] || { echo "no $library for $cxx" >&2; exit 2; }
  preload+="${preload:+ }$path"
done

mkdir -p "$build"
CXX="$cxx" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANE_SANITIZE=ON -DTELVANE_WERROR=ON \
  -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')" >"$build/cmake.log"
cmake --build "$build" --target _telvane_rs _recording_rs --parallel 2 >>"$build/cmake.log"

# The package as a directory of links to the sources plus the sanitized modules, in a venv that
# sees the test dependencies' site-packages without running their .pth files (an editable
# install's import hook would bring back the uninstrumented modules).
site="$build/site"
rm -rf "$site" && mkdir -p "$site/telvane"
for entry in "$root"/telvane/*; do
  [[ "$entry" == *.so ]] || ln -s "$entry" "$site/telvane/"
done
ln -s "$build"/_telvane_rs*.so "$build"/_recording_rs*.so "$site/telvane/"
[[ -x "$build/venv/bin/python" ]] || "$python" -m venv --without-pip "$build/venv"
venv_site="$("$build/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
printf '%s\n%s\n' "$site" "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" \
  >"$venv_site/telvane_sanitize.pth"

# detect_leaks=0: CPython and pyarrow keep their allocations until exit by design.
# log_path: pytest captures file descriptor 2, so a report written there dies with the process.
# The tests that count resident memory and mappings skip themselves when libasan is preloaded.
reports="$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
cd "$root"
status=0
PYTHONSAFEPATH=1 LD_PRELOAD="$preload" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
  "$build/venv/bin/python" -m pytest -p no:cacheprovider "$@" || status=$?
if [ -n "$(compgen -G "$reports/*")" ]; then
  cat "$reports"/* >&2
  exit 1
fi
exit "$status"
