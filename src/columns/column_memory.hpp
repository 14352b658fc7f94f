#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct ArrowBuffer;

namespace telvane {

/// Memory for one Arrow column buffer, allocated once at its final size.
/// Large blocks are anonymous mappings advised to use huge pages, so that first touching
/// hundreds of megabytes of new column memory does not cost a page fault per 4 KiB.
class ColumnMemory {
public:
  /// Allocates `size` bytes (at least one); throws std::bad_alloc when memory is exhausted.
  [[nodiscard]] static std::shared_ptr<ColumnMemory> allocate(std::size_t size);
  ~ColumnMemory();
  ColumnMemory(const ColumnMemory&) = delete;
  ColumnMemory& operator=(const ColumnMemory&) = delete;

  [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
  static std::shared_ptr<ColumnMemory> adopt(std::uint8_t* data, std::size_t size, bool mapped);
  ColumnMemory(std::uint8_t* data, std::size_t size, bool mapped) noexcept
      : data_(data), size_(size), mapped_(mapped) {}

  std::uint8_t* data_;
  std::size_t size_;
  bool mapped_;
};

/// Makes `buffer` (freshly initialised, empty) view `memory` and keep it alive; its
/// deallocator drops the reference, on whichever thread the consumer releases it.
void wrap_column_memory(ArrowBuffer* buffer, std::shared_ptr<const ColumnMemory> memory);

}  // namespace telvane
