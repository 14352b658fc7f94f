// Reads the simulator's live telemetry under wine as telvane does on Windows, through the
// core's shared-memory layer, its wait on the data-valid event and its consistent read,
// here from telvane_live_writer. Prints every record taken as "tick session-time value"
// until the status says the writer stopped, then "missed N" on stderr.
//
// Usage: telvane_live_reader

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "bytes/ibt_layout.hpp"
#include "live_test_record.hpp"
#include "platform/shared_memory.hpp"
#include "reader/live_memory.hpp"

namespace {

using namespace telvane;
using namespace std::chrono_literals;

std::optional<platform::SharedMemory> open_when_there() {
  for (int attempt = 0; attempt < 600; ++attempt) {
    Result<std::optional<platform::SharedMemory>> opened = platform::open_shared_memory(kSimulatorMapping, kSimulatorEvent);
    if (!opened.ok()) {
      std::fprintf(stderr, "reader: %s\n", opened.error().display().c_str());
      return std::nullopt;
    }
    if (opened.value()) return opened.value();
    std::this_thread::sleep_for(100ms);
  }
  std::fprintf(stderr, "reader: no live telemetry appeared\n");
  return std::nullopt;
}

void signal(const wchar_t* name) {
  const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  SetEvent(event);
  CloseHandle(event);
}

// Every record until the writer stops; false on an error.
bool read_all(ByteView memory, std::intptr_t event) {
  const std::int32_t buf_len = memory.read(layout::kBufLen);
  const LivePause on_event = [event](std::chrono::nanoseconds step) { return platform::wait_for_event(event, step); };
  std::optional<std::int32_t> last = 0;  // the writer's ticks start at 1
  long missed = 0;
  LiveTake taken;
  while (true) {
    if (Status took = take_live_records(memory, buf_len, last, taken); !took.ok()) {
      std::fprintf(stderr, "reader: %s\n", took.error().display().c_str());
      return false;
    }
    for (std::size_t i = 0; i < taken.ticks.size(); ++i) {
      const std::int32_t tick = taken.ticks[i];
      live_test::Record record;
      std::memcpy(&record, taken.bytes.data() + i * sizeof record, sizeof record);
      std::printf("%s\n", live_test::line_of(record, tick).c_str());
      missed += tick - *last - 1;
      last = tick;
    }
    const bool stopped = (memory.read(layout::kStatus) & 1) == 0;
    if (taken.ticks.empty() && stopped) break;
    // Looking only every second on its own, it reads every tick only if the event wakes it.
    Result<std::optional<std::int32_t>> newest = wait_live_tick(memory, buf_len, last, 10s, 1s, on_event);
    if (!newest.ok() || (newest.value() == last && !stopped && (memory.read(layout::kStatus) & 1) != 0)) {
      std::fprintf(stderr, "reader: %s\n", newest.ok() ? "no record for 10 s" : newest.error().display().c_str());
      return false;
    }
  }
  std::fprintf(stderr, "missed %ld\n", missed);
  return true;
}

}  // namespace

int main() {
  const std::optional<platform::SharedMemory> memory = open_when_there();
  if (!memory) return 1;
  signal(live_test::kConnectedEvent);
  const bool read = read_all(ByteView(memory->address, memory->size), memory->event);
  std::fflush(stdout);
  signal(live_test::kDoneEvent);
  platform::close_shared_memory(*memory);
  return read ? 0 : 1;
}
