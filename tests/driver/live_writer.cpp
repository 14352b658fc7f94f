// Stands in for the simulator under wine: creates its named mapping and data-valid event,
// waits for the reader to say it is connected, then writes TICKS records at RATE a second
// into NUM_BUF rotating buffers, each filled before its tick count is set, and sets the
// event after each. Prints every record written as "tick session-time value", clears the
// status at the end and keeps the mapping until the reader says it is done.
//
// Usage: telvane_live_writer NUM_BUF TICKS RATE

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "live_test_record.hpp"

namespace {

using namespace telvane::live_test;

constexpr std::uint32_t kInfoAt = 112, kInfoSize = 4096, kFirstBuffer = kInfoAt + kInfoSize;

void put(std::uint8_t* memory, std::uint32_t at, std::int32_t value) {
  std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(memory + at)).store(value, std::memory_order_release);
}

HANDLE event(const wchar_t* name) { return CreateEventW(nullptr, FALSE, FALSE, name); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: telvane_live_writer NUM_BUF TICKS RATE\n");
    return 2;
  }
  const int num_buf = std::atoi(argv[1]), ticks = std::atoi(argv[2]), rate = std::atoi(argv[3]);
  const std::uint32_t size = kFirstBuffer + static_cast<std::uint32_t>(num_buf) * kBufLen;
  const HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                            L"Local\\IRSDKMemMapFileName");
  const HANDLE data_valid = event(L"Local\\IRSDKDataValidEvent");
  const HANDLE connected = event(kConnectedEvent), done = event(kDoneEvent);
  if (section == nullptr || data_valid == nullptr || connected == nullptr || done == nullptr) {
    std::fprintf(stderr, "writer: could not create the named objects (error %lu)\n", GetLastError());
    return 1;
  }
  auto* memory = static_cast<std::uint8_t*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size));
  const std::int32_t header[10] = {2, 1, rate, 1, static_cast<std::int32_t>(kInfoSize), kInfoAt, 0, kFirstBuffer,
                                   num_buf, kBufLen};
  std::memcpy(memory, header, sizeof header);
  for (int i = 0; i < num_buf; ++i) put(memory, 52 + 16 * i, static_cast<std::int32_t>(kFirstBuffer + i * kBufLen));
  if (WaitForSingleObject(connected, 60'000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "writer: no reader connected\n");
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  for (int tick = 1; tick <= ticks; ++tick) {
    const int index = (tick - 1) % num_buf;
    const Record record = record_of(tick, rate);
    std::memcpy(memory + kFirstBuffer + index * kBufLen, &record, sizeof record);
    put(memory, 48 + 16 * index, tick);
    SetEvent(data_valid);
    std::printf("%s\n", line_of(record, tick).c_str());
    std::this_thread::sleep_until(start + std::chrono::nanoseconds(std::int64_t{1'000'000'000} * tick / rate));
  }
  put(memory, 4, 0);
  SetEvent(data_valid);
  std::fflush(stdout);
  WaitForSingleObject(done, 60'000);
  return 0;
}
