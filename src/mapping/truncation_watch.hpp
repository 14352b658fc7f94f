#pragma once

#include <cstddef>

namespace telvane {

/// A file mapping being read, watched for the file shrinking under it.
struct MappingWatch;

/// Starts watching the `length` bytes mapped at `address`: touching a page past the end of a
/// file that shrank then reads zeros instead of killing the process with SIGBUS. Nothing
/// when no watch is free.
[[nodiscard]] MappingWatch* watch_mapping(void* address, std::size_t length);

/// Stops watching; called before the mapping goes, as its addresses may then be reused.
void unwatch_mapping(MappingWatch* watch) noexcept;

/// True when a page past the file's new end was touched while watched.
[[nodiscard]] bool mapping_shrank(const MappingWatch* watch) noexcept;

}  // namespace telvane
