#include "columns/column_memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <nanoarrow/nanoarrow.hpp>

namespace telvane {
namespace {

constexpr std::size_t kHugePageThreshold = std::size_t{2} << 20;

void release_block(std::uint8_t* data, std::size_t bytes, bool mapped) noexcept {
  if (mapped) {
    ::munmap(data, bytes);
  } else {
    std::free(data);
  }
}

}  // namespace

std::shared_ptr<ColumnMemory> ColumnMemory::allocate(std::size_t size) {
  const std::size_t bytes = size == 0 ? 1 : size;
  if (bytes >= kHugePageThreshold) {
    void* address = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) throw std::bad_alloc();
    ::madvise(address, bytes, MADV_HUGEPAGE);  // advice only: without it the memory still works
    return adopt(static_cast<std::uint8_t*>(address), size, true);
  }
  void* address = std::malloc(bytes);
  if (address == nullptr) throw std::bad_alloc();
  return adopt(static_cast<std::uint8_t*>(address), size, false);
}

std::shared_ptr<ColumnMemory> ColumnMemory::adopt(std::uint8_t* data, std::size_t size, bool mapped) {
  auto* memory = new (std::nothrow) ColumnMemory(data, size, mapped);
  if (memory == nullptr) {
    release_block(data, size == 0 ? 1 : size, mapped);
    throw std::bad_alloc();
  }
  return std::shared_ptr<ColumnMemory>(memory);  // deletes `memory` if it throws
}

ColumnMemory::~ColumnMemory() { release_block(data_, size_ == 0 ? 1 : size_, mapped_); }

void wrap_column_memory(ArrowBuffer* buffer, std::shared_ptr<const ColumnMemory> memory) {
  const std::uint8_t* data = memory->data();
  const auto size = static_cast<std::int64_t>(memory->size());
  nanoarrow::BufferInitWrapped(buffer, std::move(memory), data, size);
}

}  // namespace telvane
