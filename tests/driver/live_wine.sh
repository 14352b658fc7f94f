#!/usr/bin/env bash
# The simulator's live telemetry on Windows, under wine: telvane_live_writer creates the
# named mapping and data-valid event and writes rotating buffers, telvane_live_reader reads
# them through the core's shared-memory layer and consistent read. Both run in one wine
# prefix, so one wineserver holds the named objects. Checks that every record the reader
# printed is one the writer wrote, whole, once and in tick order, that it counted the ticks
# it came too late for, and that at the simulator's 60 Hz it missed none.
#   tests/driver/live_wine.sh [BUILD_DIR]     (default build/driver, shared with run.sh)
# Needs cmake, python3, g++-mingw-w64-x86-64-posix and wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/driver}"
python="${PYTHON:-python3}"
cd "$root"

mkdir -p "$build"
if [[ ! -f "$build/windows/CMakeCache.txt" ]]; then
  cmake -S tests/driver -B "$build/windows" -DCMAKE_BUILD_TYPE=Release -DTELVANE_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix >"$build/windows-live.log"
fi
cmake --build "$build/windows" --parallel 2 --target telvane_live_writer telvane_live_reader >>"$build/windows-live.log"

export WINEPREFIX="$build/wine" WINEDEBUG=-all
out="$build/live"
mkdir -p "$out"
# A new prefix takes wine many seconds to set up on its first run: done first, so that the
# writer and the reader start together.
wine wineboot --init >"$out/wineboot.log" 2>&1
status=0
for run in "3 300 60" "4 600 360"; do  # num_buf, ticks, rate
  read -r num_buf ticks rate <<<"$run"
  timeout 300 wine "$build/windows/telvane_live_writer.exe" $run >"$out/written.txt" 2>"$out/writer.log" &
  writer=$!
  timeout 300 wine "$build/windows/telvane_live_reader.exe" >"$out/read.txt" 2>"$out/reader.log" || status=1
  wait $writer || status=1
  "$python" - "$out" "$num_buf" "$rate" <<'PYTHON' || status=1
import sys
out, num_buf, rate = sys.argv[1], sys.argv[2], int(sys.argv[3])
def lines(name):
    with open(f"{out}/{name}", newline="") as file:
        return file.read().replace("\r", "").splitlines()
written, read, log = lines("written.txt"), lines("read.txt"), lines("reader.log")
ticks = [int(line.split()[0]) for line in read]
missed = int(log[-1].split()[1]) if log and log[-1].startswith("missed ") else None
whole = set(read) <= set(written) and ticks == sorted(set(ticks))
print(f"live: num_buf {num_buf} at {rate} Hz under wine: {len(written)} ticks written, {len(read)} read "
      f"({'each whole, once, in order' if whole else 'NOT as written'}), {missed} missed")
if not whole or missed != len(written) - len(read) or (rate == 60 and missed):
    print("live: the reader's records differ from the writer's:", *log, sep="\n", file=sys.stderr)
    sys.exit(1)
PYTHON
done
exit $status
