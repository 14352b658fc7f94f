#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace telvane {

/// Memory for one Arrow column buffer, allocated once at its final size.
class ColumnMemory {
public:
  /// Allocates `size` bytes; throws std::bad_alloc when memory is exhausted.
  [[nodiscard]] static std::shared_ptr<ColumnMemory> allocate(std::size_t size);

  /// Allocates one block per size. Blocks that are large together are slices of one anonymous
  /// mapping advised to use huge pages, so that first touching hundreds of megabytes of columns
  /// does not cost a page fault per 4 KiB: a large slice has whole pages of its own, which it
  /// gives back at once when released, and small ones are aligned to 64 bytes; the mapping goes
  /// with the last slice.
  [[nodiscard]] static std::vector<std::shared_ptr<ColumnMemory>> allocate_all(std::span<const std::size_t> sizes);

  ~ColumnMemory();
  ColumnMemory(const ColumnMemory&) = delete;
  ColumnMemory& operator=(const ColumnMemory&) = delete;

  [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
  class Mapping;
  ColumnMemory(std::uint8_t* data, std::size_t size, std::shared_ptr<Mapping> mapping) noexcept;

  std::uint8_t* data_;
  std::size_t size_;
  std::shared_ptr<Mapping> mapping_;  // null for memory from malloc
};

}  // namespace telvane
