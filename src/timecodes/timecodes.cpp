#include "timecodes/timecodes.hpp"

#include <cmath>
#include <limits>

namespace telvane {

std::int64_t seconds_to_timecode(double seconds) noexcept {
  const double millis = seconds * 1000.0;
  if (std::isnan(millis)) return 0;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (millis >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (millis < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::round(millis));
}

Result<const VarHeader*> find_session_time(const IbtFile& file) {
  const VarHeader* session_time = find_var(file, "SessionTime");
  if (session_time == nullptr) return IbtError::invalid_header("Missing SessionTime variable");
  if (session_time->type != VarType::Double) {
    return IbtError::invalid_header("SessionTime should be double, got " + std::string(type_name(session_time->type)));
  }
  return session_time;
}

Result<Timecodes> build_timecodes(const IbtFile& file) {
  Result<const VarHeader*> found = find_session_time(file);
  if (!found.ok()) return found.error();
  const VarHeader* session_time = found.value();
  const TruncationGuard guard = file.guard_reads();
  Result<ByteView> area = record_area(file);
  if (!area.ok()) return area.error();
  const ByteView records = area.value();
  const auto count = static_cast<std::uint64_t>(file.sub_header().session_record_count);
  const auto stride = static_cast<std::uint64_t>(file.header().buf_len);
  const auto offset = static_cast<std::uint64_t>(session_time->offset);
  if (Status status = check_per_record_read(records, count, stride, offset, sizeof(double)); !status.ok()) {
    return status.error();
  }
  Timecodes timecodes{ColumnMemory::allocate(count * sizeof(std::int64_t)), static_cast<std::int64_t>(count)};
  auto* out = reinterpret_cast<std::int64_t*>(timecodes.memory->data());
  for (std::uint64_t i = 0; i < count; ++i) {
    out[i] = seconds_to_timecode(records.load_unchecked<double>(i * stride + offset));
  }
  return timecodes;
}

}  // namespace telvane
