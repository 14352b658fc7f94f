#include "columns/column_memory.hpp"

#include <cstdlib>
#include <new>

#include "platform/platform.hpp"

namespace telvane {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A released slice smaller than this keeps its pages until the mapping goes: giving back a
// few pages costs more (a system call, and splitting the huge page around them) than it frees.
constexpr std::size_t kDiscardBytes = std::size_t{256} << 10;

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// The alignment of a slice of `size` bytes: a slice that gives its pages back when released
// has pages of its own; smaller ones are packed by cache line, so that short columns take no
// more huge pages, each zeroed on first touch, than their bytes need.
std::size_t slice_unit(std::size_t size) { return size >= kDiscardBytes ? platform::page_size() : 64; }

// Where a slice of `size` bytes starts at or after `offset`, and where the next may start.
std::size_t slice_start(std::size_t offset, std::size_t size) { return round_up(offset, slice_unit(size)); }

std::size_t slice_end(std::size_t start, std::size_t size) { return start + round_up(size, slice_unit(size)); }

}  // namespace

class ColumnMemory::Mapping {
public:
  // A whole number of huge pages, which the kernel places on a huge-page boundary: else only
  // the huge pages wholly inside an unaligned mapping are used, and the rest faults per page.
  explicit Mapping(std::size_t size) : size_(round_up(size, kHugePage)) {
    Result<void*> address = platform::allocate_pages(size_);
    if (!address.ok()) throw std::bad_alloc();
    platform::advise_huge_pages(address.value(), size_);
    base_ = static_cast<std::uint8_t*>(address.value());
  }
  ~Mapping() { platform::free_pages(base_, size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  [[nodiscard]] std::uint8_t* base() const noexcept { return base_; }

private:
  std::uint8_t* base_ = nullptr;
  std::size_t size_;
};

ColumnMemory::ColumnMemory(std::uint8_t* data, std::size_t size, std::shared_ptr<Mapping> mapping) noexcept
    : data_(data), size_(size), mapping_(std::move(mapping)) {}

ColumnMemory::~ColumnMemory() {
  if (mapping_ == nullptr) {
    std::free(data_);
  } else if (size_ >= kDiscardBytes) {
    platform::discard_pages(data_, size_);  // the slice's own pages only
  }
}

std::shared_ptr<ColumnMemory> ColumnMemory::allocate(std::size_t size) {
  if (size >= kHugePage) {
    auto mapping = std::make_shared<Mapping>(size);
    return std::shared_ptr<ColumnMemory>(new ColumnMemory(mapping->base(), size, mapping));
  }
  auto* data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (data == nullptr) throw std::bad_alloc();
  auto* memory = new (std::nothrow) ColumnMemory(data, size, nullptr);
  if (memory == nullptr) {
    std::free(data);
    throw std::bad_alloc();
  }
  return std::shared_ptr<ColumnMemory>(memory);  // deletes `memory` if it throws
}

std::vector<std::shared_ptr<ColumnMemory>> ColumnMemory::allocate_all(std::span<const std::size_t> sizes) {
  std::vector<std::shared_ptr<ColumnMemory>> blocks;
  blocks.reserve(sizes.size());
  std::size_t total = 0;
  for (std::size_t size : sizes) total = slice_end(slice_start(total, size), size);
  if (total < kHugePage) {
    for (std::size_t size : sizes) blocks.push_back(allocate(size));
    return blocks;
  }
  auto mapping = std::make_shared<Mapping>(total);
  std::size_t offset = 0;
  for (std::size_t size : sizes) {
    const std::size_t start = slice_start(offset, size);
    blocks.push_back(std::shared_ptr<ColumnMemory>(new ColumnMemory(mapping->base() + start, size, mapping)));
    offset = slice_end(start, size);
  }
  return blocks;
}

}  // namespace telvane
