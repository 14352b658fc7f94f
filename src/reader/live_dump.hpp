#pragma once

#include <cstdint>
#include <vector>

#include "bytes/byte_view.hpp"

namespace telvane {

/// True for a dump of the simulator's live telemetry memory: version 2 with the session info
/// where a recording on disk has its disk sub-header, and one to four rotating buffers.
[[nodiscard]] bool is_live_dump(ByteView bytes) noexcept;

/// The records a live dump holds: each buffer that lies inside the file, in the order of
/// their tick counts, copied back to back.
struct LiveRecords {
  std::vector<std::uint8_t> bytes;
  std::int32_t count = 0;
};

/// The buffers of the dump in `bytes`, records of `buf_len` bytes.
[[nodiscard]] LiveRecords live_records(ByteView bytes, std::int32_t buf_len);

}  // namespace telvane
