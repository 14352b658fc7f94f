#include "laps/laps.hpp"

#include <cstring>
#include <limits>

namespace telvane {
namespace {

// Lap, OnPitRoad and LapDistPct are read with fixed widths whatever their declared extent,
// so for the last record such a read can leave the record area; earlier records read on
// into the next one.
template <typename T>
Result<std::vector<T>> read_column(ByteView records, std::uint64_t count, std::uint64_t stride,
                                   std::uint64_t offset) {
  if (Status status = check_per_record_read(records, count, stride, offset, sizeof(T)); !status.ok()) {
    return status.error();
  }
  std::vector<T> values(count);
  for (std::uint64_t i = 0; i < count; ++i) values[i] = records.load_unchecked<T>(i * stride + offset);
  return values;
}

Result<std::vector<float>> read_fractions(ByteView records, std::uint64_t count, std::uint64_t stride,
                                          const VarHeader& var) {
  const auto offset = static_cast<std::uint64_t>(var.offset);
  if (var.type == VarType::Float) return read_column<float>(records, count, stride, offset);
  if (var.type != VarType::Double) return std::vector<float>(count, 0.0f);
  Result<std::vector<double>> wide = read_column<double>(records, count, stride, offset);
  if (!wide.ok()) return wide.error();
  return std::vector<float>(wide.value().begin(), wide.value().end());  // narrows to nearest
}

Result<LapInputs> read_inputs(const IbtFile& file, const VarHeader& lap, ByteView records) {
  const auto count = static_cast<std::uint64_t>(file.sub_header().session_record_count);
  const auto stride = static_cast<std::uint64_t>(file.header().buf_len);
  LapInputs inputs;
  Result<std::vector<std::int32_t>> laps =
      read_column<std::int32_t>(records, count, stride, static_cast<std::uint64_t>(lap.offset));
  if (!laps.ok()) return laps.error();
  inputs.laps = std::move(laps).value();
  if (const VarHeader* pit = find_var(file, "OnPitRoad")) {
    Result<std::vector<std::uint8_t>> flags =
        read_column<std::uint8_t>(records, count, stride, static_cast<std::uint64_t>(pit->offset));
    if (!flags.ok()) return flags.error();
    inputs.on_pit_road = std::move(flags).value();
  }
  if (const VarHeader* distance = find_var(file, "LapDistPct")) {
    Result<std::vector<float>> fractions = read_fractions(records, count, stride, *distance);
    if (!fractions.ok()) return fractions.error();
    inputs.fractions = std::move(fractions).value();
  }
  return inputs;
}

// True for a position away from the start/finish line: a lap that starts or ends there was
// joined or left part way round. False for NaN.
bool mid_lap(float fraction) { return fraction > 0.02f && fraction < 0.98f; }

LapType classify(const LapInputs& inputs, std::size_t first, std::size_t end) {
  if (end - first < 2) return LapType::Incomplete;
  const std::size_t last = end - 1;
  const auto on_pit = [&](std::size_t i) { return !inputs.on_pit_road.empty() && inputs.on_pit_road[i] != 0; };
  const auto fraction = [&](std::size_t i) { return inputs.fractions.empty() ? 0.0f : inputs.fractions[i]; };
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

std::vector<LapEntry> segment_laps(const LapInputs& inputs, const Timecodes& timecodes) {
  if (inputs.laps.empty()) return {};
  const std::vector<std::int32_t>& laps = inputs.laps;
  const std::int64_t* times = timecodes.values();
  std::size_t segments = 1;
  for (std::size_t i = 1; i < laps.size(); ++i) segments += laps[i] != laps[i - 1];
  std::vector<LapEntry> entries;
  entries.reserve(segments);
  std::int32_t session = 0;
  std::size_t first = 0;
  for (std::size_t i = 1; i <= laps.size(); ++i) {
    if (i < laps.size() && laps[i] == laps[first]) continue;
    const std::int64_t end_time = i < laps.size() ? times[i] : times[laps.size() - 1];
    if (!entries.empty() && laps[first] == 0) ++session;
    entries.push_back({laps[first], times[first], end_time, classify(inputs, first, i), session});
    first = i;
  }
  return entries;
}

Result<std::vector<LapEntry>> detect_laps(const IbtFile& file, const Timecodes& timecodes) {
  const VarHeader* lap = find_var(file, "Lap");
  if (lap == nullptr) return std::vector<LapEntry>{};
  const TruncationGuard guard = file.guard_reads();
  Result<ByteView> records = record_area(file);
  if (!records.ok()) return records.error();
  if (file.sub_header().session_record_count == 0) return std::vector<LapEntry>{};
  Result<LapInputs> inputs = read_inputs(file, *lap, records.value());
  if (!inputs.ok()) return inputs.error();
  return segment_laps(inputs.value(), timecodes);
}

Result<RecordBatch> build_laps_table(const IbtFile& file, const Timecodes& timecodes) {
  Result<std::vector<LapEntry>> laps = detect_laps(file, timecodes);
  if (!laps.ok()) return laps.error();
  return laps_table(laps.value());
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
