#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <nanoarrow/nanoarrow.hpp>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"
#include "gather/gather.hpp"
#include "var_header/var_header.hpp"

namespace telvane {

/// Where the values of each column of a batch made by LiveBatchPlan::block lie, and its rows.
struct LiveRows {
  std::vector<std::uint8_t*> values;  // `tick`, `timecodes`, then the variables
  std::uint64_t count = 0;
};

/// Record batches of records taken from live telemetry memory, one row each: `tick`, the
/// `timecodes` of `session_time`, then each of the chosen variables typed as its channel is,
/// an array variable as fixed-size lists. Everything a batch shares with the next (the
/// schema, where each value lies in a record, the checks of the layout) is settled once, so
/// that a batch a tick costs little more than copying its values.
class LiveBatchPlan {
public:
  /// The plan for records of `stride` bytes, every variable inside them; the schema and a
  /// batch of it are validated once here.
  [[nodiscard]] static Result<LiveBatchPlan> make(std::uint64_t stride, const VarHeader& session_time,
                                                  std::span<const VarHeader* const> vars);

  /// The schema of every batch (a struct of the columns).
  [[nodiscard]] const ArrowSchema* schema() const noexcept { return schema_.get(); }

  /// A struct array of `count` rows, every value zero, in one block of memory that only it
  /// and its children hold, each of which may be released on its own; `rows` says where
  /// its values lie.
  [[nodiscard]] nanoarrow::UniqueArray block(std::uint64_t count, LiveRows& rows) const;

  /// Writes `records`, one record of the plan's stride per tick count, into rows [first,
  /// first + ticks.size()) of `rows`, which are still zero; nothing when they do not fit.
  [[nodiscard]] Status write(const LiveRows& rows, std::uint64_t first, std::span<const std::int32_t> ticks,
                             ByteView records) const;

private:
  struct Target {
    GatherTarget gather;     // its out left null: set per write
    std::int32_t list_size;  // above 0: fixed-size lists of this many values
  };

  LiveBatchPlan() = default;

  std::uint64_t stride_ = 0;
  std::vector<Target> targets_;  // the timecodes first
  nanoarrow::UniqueSchema schema_;
};

}  // namespace telvane
