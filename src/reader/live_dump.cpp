#include "reader/live_dump.hpp"

#include <algorithm>

#include "bytes/ibt_layout.hpp"

namespace telvane {
namespace {

constexpr std::int32_t kMaxBuffers = 4;

struct Buffer {
  std::int32_t tick;
  std::int32_t offset;
  std::int32_t index;  // of its descriptor: equal ticks keep the header's order
};

}  // namespace

bool is_live_dump(ByteView bytes) noexcept {
  if (bytes.size() < layout::kHeaderSize || bytes.read(layout::kVersion) != 2) return false;
  const std::int32_t info = bytes.read(layout::kSessionInfoOffset);
  const std::int32_t buffers = bytes.read(layout::kNumBuf);
  return info >= 0 && static_cast<std::uint64_t>(info) < layout::kFileHeadSize && buffers >= 1 &&
         buffers <= kMaxBuffers;
}

LiveRecords live_records(ByteView bytes, std::int32_t buf_len) {
  std::vector<Buffer> buffers;
  const std::int32_t count = bytes.read(layout::kNumBuf);
  for (std::int32_t i = 0; i < count && buf_len > 0; ++i) {
    const Buffer buffer{bytes.read(layout::buffer_tick(i)), bytes.read(layout::buffer_offset(i)), i};
    if (buffer.offset >= 0 && bytes.slice(static_cast<std::uint64_t>(buffer.offset), buf_len)) {
      buffers.push_back(buffer);
    }
  }
  std::sort(buffers.begin(), buffers.end(),
            [](Buffer a, Buffer b) { return a.tick != b.tick ? a.tick < b.tick : a.index < b.index; });
  LiveRecords records;
  for (const Buffer& buffer : buffers) {
    const ByteView record = *bytes.slice(static_cast<std::uint64_t>(buffer.offset), buf_len);
    records.bytes.insert(records.bytes.end(), record.data(), record.data() + record.size());
  }
  records.count = static_cast<std::int32_t>(buffers.size());
  return records;
}

}  // namespace telvane
