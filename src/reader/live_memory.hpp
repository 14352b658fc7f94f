#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"

// Live telemetry memory read while its writer goes on writing it: the writer fills its
// buffers in rotation, the oldest first, and sets a buffer's tick count once it is full.
namespace telvane {

/// The names under which the simulator publishes its live telemetry on Windows: the mapping,
/// and the event it sets at every new record.
inline constexpr std::string_view kSimulatorMapping = "Local\\IRSDKMemMapFileName";
inline constexpr std::string_view kSimulatorEvent = "Local\\IRSDKDataValidEvent";

/// Records copied whole: their tick counts in order, their bytes back to back. A reader keeps
/// one for every take: its memory, reused, spares each take its allocations.
struct LiveTake {
  std::vector<std::int32_t> ticks;
  std::vector<std::uint8_t> bytes;
};

/// The highest tick count of the buffers of `buf_len` bytes lying inside `memory`, or
/// nothing when none does; an error when num_buf is not 2 to 4 (the record of a lone buffer
/// cannot be told whole from one its writer is rewriting).
[[nodiscard]] Result<std::optional<std::int32_t>> newest_live_tick(ByteView memory, std::int32_t buf_len);

/// The records newer than tick `after` (the newest alone when nothing, or when the ticks went
/// back below `after`: the writer started again), in tick order. Each is copied between two
/// reads of its buffer's tick count that agree, and kept only while the writer cannot have
/// begun to overwrite it; one overwritten meanwhile is taken again from the buffers as they
/// are then, and one the writer may be filling is left out. They replace what `taken` held.
[[nodiscard]] Status take_live_records(ByteView memory, std::int32_t buf_len, std::optional<std::int32_t> after,
                                       LiveTake& taken);

/// What a wait does between two looks at the tick counts, for at most the time given: sleep,
/// or wait for the writer's event; true when the writer signalled.
using LivePause = std::function<bool(std::chrono::nanoseconds)>;

/// The pause of a writer that signals nothing.
[[nodiscard]] bool sleep_pause(std::chrono::nanoseconds duration) noexcept;

/// Waits, looking at least every `interval`, until the newest tick count differs from `seen`,
/// the status says disconnected or `timeout` passed (nothing: no limit); returns the newest
/// tick count then.
[[nodiscard]] Result<std::optional<std::int32_t>> wait_live_tick(ByteView memory, std::int32_t buf_len,
                                                                 std::optional<std::int32_t> seen,
                                                                 std::optional<std::chrono::nanoseconds> timeout,
                                                                 std::chrono::nanoseconds interval,
                                                                 const LivePause& pause);

}  // namespace telvane
