#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "reader/byte_view.hpp"
#include "reader/ibt_error.hpp"

namespace telvane {

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

private:
  friend Result<MappedRegion> map_file(const std::string& path);
  friend Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);
  MappedRegion(void* address, std::size_t mapped, std::size_t length) noexcept
      : address_(address), mapped_(mapped), length_(length) {}

  void* address_ = nullptr;
  std::size_t mapped_ = 0;  // what was mapped: at least one byte, so an empty file maps too
  std::size_t length_ = 0;
};

/// Maps the file at `path` read-only and shared; the descriptor is closed before returning.
[[nodiscard]] Result<MappedRegion> map_file(const std::string& path);

/// Copies `bytes` into a private anonymous mapping and makes it read-only.
[[nodiscard]] Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);

}  // namespace telvane
