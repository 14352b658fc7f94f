#include "laps/laps.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace telvane {
namespace {

// True for a position away from the start/finish line: a lap that starts or ends there was
// joined or left part way round. False for NaN.
bool mid_lap(float fraction) { return fraction > 0.02f && fraction < 0.98f; }

LapType classify(const LapChannels& channels, std::size_t first, std::size_t end) {
  if (end - first < 2) return LapType::Incomplete;
  const std::size_t last = end - 1;
  const auto on_pit = [&](std::size_t i) { return !channels.on_pit_road.empty() && channels.on_pit_road[i] != 0; };
  const auto fraction = [&](std::size_t i) { return channels.fractions.empty() ? 0.0f : channels.fractions[i]; };
  if (on_pit(first)) return LapType::Out;
  if (on_pit(last)) return LapType::In;
  if (mid_lap(fraction(first)) || mid_lap(fraction(last))) return LapType::Partial;
  return LapType::Full;
}

std::shared_ptr<ColumnMemory> copy_column(const void* data, std::size_t bytes) {
  auto column = ColumnMemory::allocate(bytes);
  if (bytes > 0) std::memcpy(column->data(), data, bytes);
  return column;
}

template <typename T, typename Field>
std::shared_ptr<ColumnMemory> lap_column(const std::vector<LapEntry>& entries, Field field) {
  std::vector<T> values;
  values.reserve(entries.size());
  for (const LapEntry& entry : entries) values.push_back(entry.*field);
  return copy_column(values.data(), values.size() * sizeof(T));
}

Result<std::vector<std::shared_ptr<const ColumnMemory>>> lap_type_column(const std::vector<LapEntry>& entries) {
  std::vector<std::int32_t> offsets{0};
  std::string text;
  for (const LapEntry& entry : entries) {
    text += lap_type_text(entry.lap_type);
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      return IbtError::arrow("lap_type: " + std::to_string(entries.size()) +
                             " laps exceed the 2147483647 bytes of a Utf8 column");
    }
    offsets.push_back(static_cast<std::int32_t>(text.size()));
  }
  return std::vector<std::shared_ptr<const ColumnMemory>>{
      copy_column(offsets.data(), offsets.size() * sizeof(std::int32_t)), copy_column(text.data(), text.size())};
}

std::int32_t lap_number(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value >= kMax ? kMax : value <= kMin ? kMin : value);
}

}  // namespace

std::string_view lap_type_text(LapType type) noexcept {
  switch (type) {
    case LapType::Incomplete: return "incomplete";
    case LapType::Out: return "out";
    case LapType::In: return "in";
    case LapType::Partial: return "partial";
    case LapType::Full: return "full";
  }
  return "";
}

std::vector<LapEntry> segment_laps(const LapChannels& channels, const Timecodes& timecodes) {
  if (channels.laps.empty()) return {};
  const std::vector<double>& laps = channels.laps;
  const std::int64_t* times = timecodes.values();
  std::size_t segments = 1;
  for (std::size_t i = 1; i < laps.size(); ++i) segments += laps[i] != laps[i - 1];
  std::vector<LapEntry> entries;
  entries.reserve(segments);
  std::int32_t session = 0;
  std::size_t first = 0;
  for (std::size_t i = 1; i <= laps.size(); ++i) {
    if (i < laps.size() && laps[i] == laps[i - 1]) continue;
    const std::int64_t end_time = i < laps.size() ? times[i] : times[laps.size() - 1];
    if (!entries.empty() && laps[first] == 0) ++session;
    entries.push_back({lap_number(laps[first]), times[first], end_time, classify(channels, first, i), session});
    first = i;
  }
  return entries;
}

Result<RecordBatch> laps_table(const std::vector<LapEntry>& entries) {
  Result<std::vector<std::shared_ptr<const ColumnMemory>>> lap_types = lap_type_column(entries);
  if (!lap_types.ok()) return lap_types.error();
  const Column columns[] = {
      {"num", NANOARROW_TYPE_INT32, {}, {lap_column<std::int32_t>(entries, &LapEntry::num)}},
      {"start_time", NANOARROW_TYPE_INT64, {}, {lap_column<std::int64_t>(entries, &LapEntry::start_time)}},
      {"end_time", NANOARROW_TYPE_INT64, {}, {lap_column<std::int64_t>(entries, &LapEntry::end_time)}},
      {"lap_type", NANOARROW_TYPE_STRING, {}, std::move(lap_types).value()},
      {"session", NANOARROW_TYPE_INT32, {}, {lap_column<std::int32_t>(entries, &LapEntry::session)}},
  };
  return make_record_batch(columns, static_cast<std::int64_t>(entries.size()), "laps");
}

}  // namespace telvane
