#include "mapping/mapped_region.hpp"

#include <utility>

namespace telvane {
namespace {

std::size_t mapping_length(std::size_t length) { return length == 0 ? 1 : length; }

}  // namespace

void MappedRegion::release() noexcept {
  if (address_ != nullptr) {
    if (file_view_) {
      platform::unmap_file(address_, mapped_);
    } else {
      platform::free_pages(address_, mapped_);
    }
    address_ = nullptr;
  }
  if (file_) platform::close_file(file_->handle);
  file_.reset();
  shrank_.reset();
}

MappedRegion::~MappedRegion() { release(); }

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      mapped_(other.mapped_),
      length_(other.length_),
      file_view_(other.file_view_),
      file_(std::exchange(other.file_, std::nullopt)),
      shrank_(std::move(other.shrank_)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
  if (this != &other) {
    release();
    address_ = std::exchange(other.address_, nullptr);
    mapped_ = other.mapped_;
    length_ = other.length_;
    file_view_ = other.file_view_;
    file_ = std::exchange(other.file_, std::nullopt);
    shrank_ = std::move(other.shrank_);
  }
  return *this;
}

Status MappedRegion::check_unchanged() const {
  if (!file_) return ok_status();
  const IbtError truncated = IbtError::io("file was truncated while it was being read");
  if (shrank_->load()) return truncated;
  Result<platform::FileStamp> now = platform::stamp_of(file_->handle);
  if (!now.ok()) return now.error();
  if (now.value().size < file_->stamp.size) return truncated;
  if (now.value() != file_->stamp) return IbtError::io("file changed while it was being read");
  return ok_status();
}

Result<MappedRegion> map_file(const std::string& path) {
  Result<platform::OpenFile> opened = platform::open_regular_file(path);
  if (!opened.ok()) return opened.error();
  MappedRegion region;
  region.file_ = opened.value();
  region.shrank_ = std::make_unique<std::atomic<bool>>(false);
  region.length_ = static_cast<std::size_t>(opened.value().stamp.size);
  region.mapped_ = mapping_length(region.length_);
  // An empty file cannot be mapped everywhere; a page of zeros stands in for it.
  Result<void*> address = region.length_ == 0 ? platform::copy_to_read_only_pages({}, region.mapped_)
                                              : platform::map_file(opened.value().handle, region.mapped_);
  if (!address.ok()) return address.error();
  region.address_ = address.value();
  region.file_view_ = region.length_ != 0;
  return region;
}

Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes) {
  MappedRegion region;
  region.length_ = bytes.size();
  region.mapped_ = mapping_length(bytes.size());
  Result<void*> address = platform::copy_to_read_only_pages(bytes, region.mapped_);
  if (!address.ok()) return address.error();
  region.address_ = address.value();
  return region;
}

}  // namespace telvane
