#pragma once

#include <cstdint>
#include <span>

#include "bytes/byte_view.hpp"
#include "columns/record_batch.hpp"
#include "error/ibt_error.hpp"
#include "var_header/var_header.hpp"

namespace telvane {

/// The record batch of records taken from live telemetry memory, one row each: `tick`, the
/// `timecodes` of `session_time`, then each of `vars` typed as its channel is, an array
/// variable as fixed-size lists. `records` holds one record of `stride` bytes per tick
/// count, every variable inside it.
[[nodiscard]] Result<RecordBatch> live_batch(std::span<const std::int32_t> ticks, ByteView records,
                                             std::uint64_t stride, const VarHeader& session_time,
                                             std::span<const VarHeader* const> vars);

}  // namespace telvane
