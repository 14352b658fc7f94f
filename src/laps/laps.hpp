#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "columns/record_batch.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace telvane {

/// A lap's classification, tried in this order.
enum class LapType { Incomplete, Out, In, Partial, Full };

/// "incomplete", "out", "in", "partial" or "full".
[[nodiscard]] std::string_view lap_type_text(LapType type) noexcept;

/// One classified lap: a maximal run of records sharing one `Lap` value.
struct LapEntry {
  std::int32_t num;
  std::int64_t start_time;
  std::int64_t end_time;
  LapType lap_type;
  std::int32_t session;
};

/// What the laps are found from, one value per record.
struct LapInputs {
  std::vector<std::int32_t> laps;         // empty when the file has no Lap or no records
  std::vector<std::uint8_t> on_pit_road;  // empty when the file has no OnPitRoad
  std::vector<float> fractions;           // empty when the file has no LapDistPct
};

/// The laps of `inputs` in record order; `timecodes` holds one time per record.
[[nodiscard]] std::vector<LapEntry> segment_laps(const LapInputs& inputs, const Timecodes& timecodes);

/// The laps as one record batch: num, start_time, end_time, lap_type, session.
[[nodiscard]] Result<RecordBatch> laps_table(const std::vector<LapEntry>& entries);

/// The laps of the recording in record order; empty without a `Lap` variable or records.
[[nodiscard]] Result<std::vector<LapEntry>> detect_laps(const IbtFile& file, const Timecodes& timecodes);

/// The laps as one record batch: num, start_time, end_time, lap_type, session.
[[nodiscard]] Result<RecordBatch> build_laps_table(const IbtFile& file, const Timecodes& timecodes);

}  // namespace telvane
