#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "columns/record_batch.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace telvane {

/// A scalar variable's name and its channel table.
struct ChannelEntry {
  std::string name;
  RecordBatch batch;
};

/// The channel tables of every variable whose count is exactly 1, in file order: two
/// columns, `timecodes` and the variable's values, one row per record.
[[nodiscard]] Result<std::vector<ChannelEntry>> build_channels(const IbtFile& file, const Timecodes& timecodes);

}  // namespace telvane
