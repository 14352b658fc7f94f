#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The records the wine test writer writes and its reader checks: a torn one holds values of
// two ticks.
namespace telvane::live_test {

inline constexpr int kWidth = 16;
struct Record {
  double session_time;
  std::int32_t values[kWidth];
};
inline constexpr std::int32_t kBufLen = sizeof(Record);

// Set by the reader once it has the memory open, and once it is done with it.
inline constexpr const wchar_t* kConnectedEvent = L"Local\\TelvaneLiveTestConnected";
inline constexpr const wchar_t* kDoneEvent = L"Local\\TelvaneLiveTestDone";

inline Record record_of(int tick, int rate) {
  Record record{static_cast<double>(tick) / rate, {}};
  for (std::int32_t& value : record.values) value = tick * 7 + 3;
  return record;
}

// "tick session-time value", or "tick torn" when its values differ.
inline std::string line_of(const Record& record, int tick) {
  for (std::int32_t value : record.values) {
    if (value != record.values[0]) return std::to_string(tick) + " torn";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%d %.6f %d", tick, record.session_time, static_cast<int>(record.values[0]));
  return text;
}

}  // namespace telvane::live_test
