#pragma once

#include <memory>

#include "columns/record_batch.hpp"
#include "timecodes/timecodes.hpp"
#include "var_header/var_header.hpp"

namespace telvane {

/// True for a sub-tick array (its name ends in "_ST"): `count` samples of one value taken
/// evenly through each tick, the last at the record's own time.
[[nodiscard]] bool is_sub_tick(const VarHeader& var) noexcept;

/// The table of an array variable from its gathered values (`count` elements per record,
/// records back to back; a bitmap for Bool). A sub-tick array gives one row per sample:
/// `timecodes` as Float64 milliseconds, interpolated at even steps of one tick (1000 /
/// `tick_rate` ms) before the record's timecode, and the value column as a channel has it.
/// Any other array gives one row per record: the time base and a fixed-size list of the
/// `count` elements.
[[nodiscard]] Result<RecordBatch> make_array_table(const VarHeader& var, const Timecodes& timecodes,
                                                   std::shared_ptr<const ColumnMemory> values, int tick_rate);

}  // namespace telvane
