#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "columns/column_memory.hpp"
#include "error/ibt_error.hpp"
#include "reader/ibt_file.hpp"

namespace telvane {

/// The time base: one timecode per record, milliseconds of session time, in one buffer
/// shared by every channel table and the lap detection.
struct Timecodes {
  std::shared_ptr<const ColumnMemory> memory;
  std::int64_t length = 0;

  [[nodiscard]] const std::int64_t* values() const noexcept {
    return reinterpret_cast<const std::int64_t*>(memory->data());
  }
};

/// Seconds × 1000 rounded half away from zero, saturated to int64 (NaN gives 0).
[[nodiscard]] inline std::int64_t seconds_to_timecode(double seconds) noexcept {
  const double millis = seconds * 1000.0;
  if (std::isnan(millis)) return 0;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (millis >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (millis < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  // std::round without its library call, once per record: the truncation is exact, and so is
  // the fraction it leaves (from 2^52 up every double is a whole number).
  const auto whole = static_cast<std::int64_t>(millis);
  const double fraction = millis - static_cast<double>(whole);
  return whole + (fraction >= 0.5) - (fraction <= -0.5);
}

/// The `SessionTime` variable the time base is read from, which must be a double.
[[nodiscard]] Result<const VarHeader*> find_session_time(const IbtFile& file);

/// The record area with `SessionTime` known to be readable in every record: a double at
/// `offset` in each of `count` records `stride` bytes apart. Read it under
/// `file.guard_reads()`.
struct SessionTimeRecords {
  const VarHeader* session_time = nullptr;
  ByteView records;
  std::uint64_t count = 0;
  std::uint64_t stride = 0;
  std::uint64_t offset = 0;
};

/// `SessionTime` and the records it is read from, checked before any record is read.
[[nodiscard]] Result<SessionTimeRecords> session_time_records(const IbtFile& file);

}  // namespace telvane
