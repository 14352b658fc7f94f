#include "mapping/mapped_region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "mapping/truncation_watch.hpp"

namespace telvane {
namespace {

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const noexcept { return fd_; }

private:
  int fd_;
};

std::size_t mapping_length(std::size_t length) { return length == 0 ? 1 : length; }

}  // namespace

void MappedRegion::release() noexcept {
  if (address_ == nullptr) return;
  unwatch_mapping(watch_);
  ::munmap(address_, mapped_);
  address_ = nullptr;
  watch_ = nullptr;
}

MappedRegion::~MappedRegion() { release(); }

MappedRegion::MappedRegion(MappedRegion&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)),
      mapped_(other.mapped_),
      length_(other.length_),
      watch_(std::exchange(other.watch_, nullptr)) {}

MappedRegion& MappedRegion::operator=(MappedRegion&& other) noexcept {
  if (this != &other) {
    release();
    address_ = std::exchange(other.address_, nullptr);
    mapped_ = other.mapped_;
    length_ = other.length_;
    watch_ = std::exchange(other.watch_, nullptr);
  }
  return *this;
}

bool MappedRegion::truncated() const noexcept { return mapping_shrank(watch_); }

Result<MappedRegion> map_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return IbtError::io("file name contained an unexpected NUL byte");
  }
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return IbtError::os(errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return IbtError::os(errno);
  const auto length = static_cast<std::size_t>(info.st_size);
  void* address = ::mmap(nullptr, mapping_length(length), PROT_READ, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return IbtError::os(errno);
  return MappedRegion(address, mapping_length(length), length, watch_mapping(address, mapping_length(length)));
}

Result<MappedRegion> map_copy(std::span<const std::uint8_t> bytes) {
  const std::size_t mapped = mapping_length(bytes.size());
  void* address = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return IbtError::os(errno);
  MappedRegion region(address, mapped, bytes.size(), nullptr);
  if (!bytes.empty()) std::memcpy(address, bytes.data(), bytes.size());
  // mmap returns a page-aligned address, so the protected range starts on a page boundary.
  if (::mprotect(address, mapped, PROT_READ) != 0) return IbtError::os(errno);
  return region;
}

}  // namespace telvane
