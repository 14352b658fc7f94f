#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "columns/record_batch.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace telvane {

/// A variable's name and its table.
struct ChannelEntry {
  std::string name;
  RecordBatch batch;
};

/// The channels of a file: one per name of a variable whose count is exactly 1, at the place
/// of the name's first such variable and holding the last one's values (a later variable of a
/// name replaces an earlier one, so only the last is gathered).
struct ScalarChannels {
  std::vector<const VarHeader*> vars;
  /// One flag per scalar variable in file order: true where the variable's name is new, so
  /// that the next channel is stored; duplicates count for progress without a table of their own.
  std::vector<bool> new_name;
};

/// The Arrow type of a variable's values: UInt8, Boolean, Int32, UInt32, Float32, Float64.
[[nodiscard]] ArrowType arrow_type(VarType type) noexcept;

/// The field metadata of a variable's value column: "units", "desc" and "interpolate".
[[nodiscard]] std::vector<std::pair<std::string, std::string>> field_metadata(const VarHeader& var);

/// A channel's value column: the variable's gathered values under its name, type and field metadata.
[[nodiscard]] Column channel_column(const VarHeader& var, std::shared_ptr<const ColumnMemory> values);

/// The time base and the value columns as one table, one row per record: a channel table
/// holds one value column, the table of a whole read every channel's.
[[nodiscard]] Result<RecordBatch> make_channel_table(const Timecodes& timecodes, std::vector<Column> values);

/// Which variables become channels, in the order of their tables.
[[nodiscard]] ScalarChannels scalar_channels(const IbtFile& file);

}  // namespace telvane
