#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "error/ibt_error.hpp"

// Named shared memory that another process made and keeps writing, and the named event it
// sets after each write: the way the simulator publishes its live telemetry on Windows.
// Elsewhere there are no such objects and opening them is an error.
namespace telvane::platform {

/// A read-only view of a whole named mapping, and a named event opened to be waited on.
struct SharedMemory {
  const std::uint8_t* address = nullptr;
  std::size_t size = 0;  // the view's, in whole pages
  std::intptr_t event = 0;
};

/// Opens the mapping and the event of these (ASCII) names; nothing when either does not exist.
[[nodiscard]] Result<std::optional<SharedMemory>> open_shared_memory(std::string_view mapping,
                                                                     std::string_view event);

void close_shared_memory(const SharedMemory& memory) noexcept;

/// Waits at most `timeout` (rounded up to a millisecond) for the event; true when it was set.
[[nodiscard]] bool wait_for_event(std::intptr_t event, std::chrono::nanoseconds timeout) noexcept;

}  // namespace telvane::platform
