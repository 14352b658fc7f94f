#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "columns/record_batch.hpp"
#include "timecodes/timecodes.hpp"

namespace telvane {

/// A raw lap's classification, tried in this order. The racing laps of telvane/_racing.py
/// (`LapKind`) order the last two the other way: a racing lap is full when both its ends are
/// line crossings and partial otherwise, where a raw lap is partial when an end lies between
/// 2 % and 98 % of the lap and full otherwise.
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

/// The channels the raw laps are found from, one value per record, taken from the gathered
/// columns. (The racing laps read more, as telvane/_lap_inputs.py's `LapInputs`.)
struct LapChannels {
  std::vector<double> laps;               // the lap counter; empty when the file has no Lap or no records
  std::vector<std::uint8_t> on_pit_road;  // empty when the file has no OnPitRoad
  std::vector<float> fractions;           // empty when the file has no LapDistPct
};

/// The laps of `channels` in record order; `timecodes` holds one time per record. A lap ends
/// where the counter's value changes (NaN never equals itself); its number is the value
/// truncated to int32, saturated, NaN as 0.
[[nodiscard]] std::vector<LapEntry> segment_laps(const LapChannels& channels, const Timecodes& timecodes);

/// The laps as one record batch: num, start_time, end_time, lap_type, session.
[[nodiscard]] Result<RecordBatch> laps_table(const std::vector<LapEntry>& entries);

}  // namespace telvane
