#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"

namespace telvane {

struct MappingWatch;

/// A read-only memory mapping, unmapped exactly once when its owner goes away.
class MappedRegion {
public:
  MappedRegion() = default;
  ~MappedRegion();
  MappedRegion(MappedRegion&& other) noexcept;
  MappedRegion& operator=(MappedRegion&& other) noexcept;
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;

  /// The logical bytes: the file's or the copied bytes' exact length, possibly 0.
  [[nodiscard]] ByteView bytes() const noexcept { return {static_cast<const std::uint8_t*>(address_), length_}; }

  /// True when the mapped file shrank while it was read: the pages past its new end were
  /// replaced by zeros instead of killing the process with SIGBUS.
  [[nodiscard]] bool truncated() const noexcept;

private:
  friend Result<MappedRegion> map_file(const std::string& path);
  friend Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);
  MappedRegion(void* address, std::size_t mapped, std::size_t length, MappingWatch* watch) noexcept
      : address_(address), mapped_(mapped), length_(length), watch_(watch) {}
  void release() noexcept;

  void* address_ = nullptr;
  std::size_t mapped_ = 0;  // what was mapped: at least one byte, so an empty file maps too
  std::size_t length_ = 0;
  MappingWatch* watch_ = nullptr;  // set for file mappings, which can shrink under the reader
};

/// Maps the file at `path` read-only and shared; the descriptor is closed before returning.
/// Should another program truncate the file while it is read, the pages past the new end
/// read as zeros and the region reports truncated().
[[nodiscard]] Result<MappedRegion> map_file(const std::string& path);

/// Copies `bytes` into a private anonymous mapping and makes it read-only.
[[nodiscard]] Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);

}  // namespace telvane
