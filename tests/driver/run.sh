#!/usr/bin/env bash
# Builds telvane_driver three ways and checks that they print the same digests, byte for
# byte, over the fuzz corpus, a file of over 4 GiB and the real recording (when present):
# natively, natively with the Linux-only calls left out (as on macOS), and for Windows with
# mingw-w64, run by wine. The POSIX builds also run the checks of the SIGBUS guard; the
# Windows build reads the simulator's named mapping and event from a test writer
# (live_wine.sh).
#   tests/driver/run.sh [BUILD_DIR]     (default build/driver)
# Needs cmake, g++, python3 and the Debian packages g++-mingw-w64-x86-64-posix and wine64.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/driver}"
python="${PYTHON:-python3}"
cd "$root"

configure_and_build() {  # NAME CMAKE-ARGUMENTS...
  local dir="$build/$1"
  shift
  mkdir -p "$build"
  cmake -S tests/driver -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTELVANE_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" "$@" >"$dir.log"
  cmake --build "$dir" --parallel 2 >>"$dir.log"
}

configure_and_build linux
configure_and_build portable -DTELVANE_PORTABLE_POSIX=ON
configure_and_build windows -DCMAKE_SYSTEM_NAME=Windows \
  -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix

# A sparse file of more than 4 GiB: four records of almost 2 GiB each, the last two past 4 GiB
# into the file and the last one past 4 GiB into the record area too, so that the time base
# and the gather read the far end of a large mapping.
"$python" - "$build/large.ibt" <<'PYTHON'
import struct, sys
records, buf_len, buf_offset = 4, 2**31 - 8, 288
head = struct.pack("<10i", 2, 0, 60, 0, 0, 0, 1, 144, 1, buf_len) + bytes(8)
head += struct.pack("<2i", 0, buf_offset) + bytes(56)
head += struct.pack("<q2d2i", 0, 1.5, 4.5, 1, records)
head += struct.pack("<4i32s64s32s", 5, 0, 1, 0, b"SessionTime", b"", b"s")
with open(sys.argv[1], "wb") as out:
    out.write(head)
    for r, seconds in enumerate([1.5, 2.75, 3.25, 4.5]):
        out.seek(buf_offset + r * buf_len)
        out.write(struct.pack("<d", seconds))
    out.truncate(buf_offset + records * buf_len)
PYTHON

inputs=(fuzz/corpus/* "$build/large.ibt")
sample=/work/shared/samples/redbullring_amg.ibt
[[ -f "$sample" ]] && inputs+=("$sample")

# The SIGBUS guard exists on POSIX builds only.
"$build/linux/telvane_guard_check" "$build"
"$build/portable/telvane_guard_check" "$build" >"$build/portable-guard.txt"

"$build/linux/telvane_driver" "${inputs[@]}" >"$build/linux.txt"
"$build/portable/telvane_driver" "${inputs[@]}" >"$build/portable.txt"
# Wine's first start sets up its prefix (seconds); a private prefix keeps the run apart from
# any other, and a run that fails or hangs in wine itself is tried once more. Windows writes
# \r\n to a text-mode stdout.
export WINEPREFIX="$build/wine" WINEDEBUG=-all
run_windows() {
  timeout 600 wine "$build/windows/telvane_driver.exe" "${inputs[@]}" 2>"$build/wine.log" | tr -d '\r' \
    >"$build/windows.txt"
}
run_windows || { echo "driver: wine failed, trying again" >&2; run_windows; }
rm "$build/large.ibt"

status=0
for name in portable windows; do
  if cmp -s "$build/linux.txt" "$build/$name.txt"; then
    echo "driver: $name digests agree with linux"
  else
    echo "driver: $name digests differ from linux:" >&2
    { diff "$build/linux.txt" "$build/$name.txt" || true; } | head -20 >&2
    status=1
  fi
done
sha256sum "$build/linux.txt" "$build/portable.txt" "$build/windows.txt"
tests/driver/live_wine.sh "$build" || status=1
exit $status
