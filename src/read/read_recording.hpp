#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "channel/channel.hpp"
#include "columns/record_batch.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace telvane {

/// How the lap counter `Lap` is read.
enum class LapCounter {
  Value,   ///< as the number its declared type holds
  Bits32,  ///< its first 4 bytes as a signed 32-bit integer, whatever its declared type
};

/// What one read takes from a file: the variables are the file's own, each read once.
struct ReadRequest {
  std::vector<const VarHeader*> channels;  // scalars, in the order of the result
  std::vector<const VarHeader*> arrays;    // array variables, in the order of the result
  bool laps = false;
  LapCounter lap_counter = LapCounter::Value;
};

/// What one read made, in the order of the request: the channels as value columns, which
/// make_channel_table turns into tables, and the tables of the arrays.
struct ReadResult {
  Timecodes timecodes;
  std::vector<Column> channels;
  std::vector<ChannelEntry> arrays;
  /// The laps table when asked for, or why it could not be made: the channels are complete
  /// either way.
  std::optional<Result<RecordBatch>> laps;
};

/// Called on the reading thread between blocks with the records gathered so far and the
/// record count; returning false stops the read.
using ReadProgress = std::function<bool(std::uint64_t gathered, std::uint64_t total)>;

/// Reads the requested tables in one sweep over the record area: the time base, the values
/// and the lap inputs of each block are taken while its records are in the cache, the lap
/// inputs from the requested columns where they hold them. A large record area is gathered
/// by two threads, each taking half of the records. Touches no Python object; a stopped
/// read returns the Internal kind.
[[nodiscard]] Result<ReadResult> read_recording(const IbtFile& file, const ReadRequest& request,
                                                const ReadProgress& progress);

}  // namespace telvane
