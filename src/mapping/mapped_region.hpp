#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"
#include "platform/platform.hpp"
#include "platform/truncation_guard.hpp"

namespace telvane {

/// Read-only bytes in memory: a file mapped with its file kept open, or a copy of bytes.
/// Unmapped and closed exactly once when its owner goes away.
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

  /// Keeps reads of the bytes on this thread alive should the file shrink under them (see
  /// TruncationGuard); does nothing for a copy.
  [[nodiscard]] TruncationGuard guard_reads() const { return {address_, mapped_, shrank_.get()}; }

  /// Fails with an Io error when the file changed after it was opened: "file was truncated
  /// while it was being read" when a guarded read met its new end (the values read past it
  /// were zeros), "file changed while it was being read" when its size or modification time
  /// differ. A copy never changes.
  [[nodiscard]] Status check_unchanged() const;

private:
  friend Result<MappedRegion> map_file(const std::string& path);
  friend Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);
  void release() noexcept;

  void* address_ = nullptr;
  std::size_t mapped_ = 0;  // at least one byte, so that empty bytes have an address too
  std::size_t length_ = 0;
  bool file_view_ = false;  // a view of the file rather than pages of a copy
  std::optional<platform::OpenFile> file_;
  std::unique_ptr<std::atomic<bool>> shrank_;  // for files, which can shrink under the reader
};

/// Maps the file at `path` read-only and shared, refusing anything but a regular file.
[[nodiscard]] Result<MappedRegion> map_file(const std::string& path);

/// Copies `bytes` into private memory and makes it read-only.
[[nodiscard]] Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes);

}  // namespace telvane
