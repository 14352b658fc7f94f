#include "reader/live_memory.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "bytes/ibt_layout.hpp"
#include "platform/platform.hpp"

namespace telvane {
namespace {

// One buffer is not enough: its writer rewrites it before it changes its tick count, so a
// copy that two equal reads of the tick count enclose may still be torn.
constexpr std::int32_t kMinBuffers = 2;
constexpr std::int32_t kMaxBuffers = 4;
// A copy is taken again at most this often in one call: each retry means the writer moved on
// during the copy, which a writer at 60 Hz all but never does, while one rewriting as fast as
// it can (a replay, a test) may do so many times in a row.
constexpr int kAttempts = 1000;

struct Buffer {
  std::int32_t tick;
  std::uint64_t offset;
  std::int32_t index;  // of its descriptor
};

struct Buffers {
  std::int32_t count;           // num_buf
  std::vector<Buffer> inside;  // those inside the memory, in tick order, one per tick count
};

// A field the writer may change at any moment, read once; the reads after it are not made
// before it.
std::int32_t load_shared(ByteView memory, Field<std::int32_t> field) {
  const std::int32_t value = memory.read(field);
  std::atomic_thread_fence(std::memory_order_acquire);
  return value;
}

Result<Buffers> buffers_of(ByteView memory, std::int32_t buf_len) {
  const std::int32_t count = load_shared(memory, layout::kNumBuf);
  if (memory.size() < layout::kHeaderSize || count < kMinBuffers || count > kMaxBuffers) {
    return IbtError::invalid_header("num_buf must be " + std::to_string(kMinBuffers) + " to " +
                                    std::to_string(kMaxBuffers) +
                                    " (no record of a lone buffer can be proven whole), got " + std::to_string(count));
  }
  Buffers found{count, {}};
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t tick = load_shared(memory, layout::buffer_tick(i));
    const std::int32_t offset = load_shared(memory, layout::buffer_offset(i));
    const bool seen = std::any_of(found.inside.begin(), found.inside.end(), [tick](Buffer b) { return b.tick == tick; });
    if (!seen && offset >= 0 && buf_len > 0 && memory.contains(static_cast<std::uint64_t>(offset), buf_len)) {
      found.inside.push_back({tick, static_cast<std::uint64_t>(offset), i});
    }
  }
  std::sort(found.inside.begin(), found.inside.end(), [](Buffer a, Buffer b) { return a.tick < b.tick; });
  return found;
}

// Whether the writer cannot have begun to overwrite the buffer of `tick`: the oldest is safe
// only while the newest tick is below its tick + count - 1.
Result<bool> safe(ByteView memory, std::int32_t buf_len, std::int32_t tick) {
  Result<Buffers> now = buffers_of(memory, buf_len);
  if (!now.ok()) return now.error();
  const Buffers& found = now.value();
  return !found.inside.empty() && std::int64_t{found.inside.back().tick} < std::int64_t{tick} + found.count - 1;
}

// Copies `wanted` into `taken`; false when one was overwritten during its copy (dropped), or
// when the newest of them was already being overwritten: newer records are there to take.
Result<bool> copy_all(ByteView memory, std::int32_t buf_len, const std::vector<Buffer>& wanted, LiveTake& taken) {
  const auto length = static_cast<std::size_t>(buf_len);
  for (const Buffer& buffer : wanted) {
    Result<bool> before = safe(memory, buf_len, buffer.tick);
    if (!before.ok()) return before.error();
    if (!before.value()) {
      if (&buffer == &wanted.back()) return false;
      continue;
    }
    const std::uint8_t* record = memory.data() + buffer.offset;
    taken.bytes.insert(taken.bytes.end(), record, record + length);
    std::atomic_thread_fence(std::memory_order_acquire);
    Result<bool> after = safe(memory, buf_len, buffer.tick);
    if (!after.ok()) return after.error();
    if (load_shared(memory, layout::buffer_tick(buffer.index)) != buffer.tick || !after.value()) {
      taken.bytes.resize(taken.bytes.size() - length);
      return false;
    }
    taken.ticks.push_back(buffer.tick);
  }
  return true;
}

}  // namespace

Result<std::optional<std::int32_t>> newest_live_tick(ByteView memory, std::int32_t buf_len) {
  Result<Buffers> found = buffers_of(memory, buf_len);
  if (!found.ok()) return found.error();
  const std::vector<Buffer>& inside = found.value().inside;
  return inside.empty() ? std::nullopt : std::optional<std::int32_t>(inside.back().tick);
}

Status take_live_records(ByteView memory, std::int32_t buf_len, std::optional<std::int32_t> after, LiveTake& taken) {
  taken.ticks.clear();
  taken.bytes.clear();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Result<Buffers> found = buffers_of(memory, buf_len);
    if (!found.ok()) return found.error();
    const std::vector<Buffer>& inside = found.value().inside;
    if (inside.empty()) break;
    std::optional<std::int32_t> last = taken.ticks.empty() ? after : std::optional(taken.ticks.back());
    if (last && inside.back().tick < *last) {
      if (!taken.ticks.empty()) break;
      last.reset();
    }
    std::vector<Buffer> wanted;
    for (const Buffer& buffer : inside) {
      if (last ? buffer.tick > *last : &buffer == &inside.back()) wanted.push_back(buffer);
    }
    Result<bool> whole = copy_all(memory, buf_len, wanted, taken);
    if (!whole.ok()) return whole.error();
    if (whole.value()) break;
  }
  return ok_status();
}

bool sleep_pause(std::chrono::nanoseconds duration) noexcept {
  platform::sleep_for(duration);
  return false;
}

Result<std::optional<std::int32_t>> wait_live_tick(ByteView memory, std::int32_t buf_len,
                                                   std::optional<std::int32_t> seen,
                                                   std::optional<std::chrono::nanoseconds> timeout,
                                                   std::chrono::nanoseconds interval, const LivePause& pause) {
  const auto start = std::chrono::steady_clock::now();
  int empty_signals = 0;  // pauses in a row ended by a signal that brought no new tick
  while (true) {
    Result<std::optional<std::int32_t>> newest = newest_live_tick(memory, buf_len);
    if (!newest.ok() || newest.value() != seen || (load_shared(memory, layout::kStatus) & 1) == 0) return newest;
    std::chrono::nanoseconds step = interval;
    if (timeout) {
      const auto left = *timeout - (std::chrono::steady_clock::now() - start);
      if (left <= std::chrono::nanoseconds::zero()) return newest;
      step = std::min(step, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    }
    // One such signal is an event set for a tick already taken; more in a row, an event the
    // writer leaves set, which must not keep the loop busy.
    if (empty_signals == 2) {
      empty_signals = 0;
      platform::sleep_for(step);
    } else {
      empty_signals = pause(step) ? empty_signals + 1 : 0;
    }
  }
}

}  // namespace telvane
