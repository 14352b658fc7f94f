#include "reader/region.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

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

// A file mapping being read. Touching a page of a MAP_SHARED mapping beyond the end of a
// file that shrank raises SIGBUS; the handler below maps zeros over the rest of a watched
// mapping and marks it, so the read finishes and the caller reports the truncation. The
// slots are lock-free atomics because the handler reads them.
struct MappingWatch {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> shrank{false};
};

namespace {

constexpr std::size_t kWatches = 64;  // more mappings read at once go unwatched
MappingWatch g_watches[kWatches];
struct sigaction g_previous_sigbus {};
std::uintptr_t g_page_size = 4096;

// Hands a fault that is not ours to whatever handled SIGBUS before.
void forward_sigbus(int signal, siginfo_t* info, void* context) {
  if (g_previous_sigbus.sa_flags & SA_SIGINFO) {
    g_previous_sigbus.sa_sigaction(signal, info, context);
  } else if (g_previous_sigbus.sa_handler != SIG_DFL && g_previous_sigbus.sa_handler != SIG_IGN) {
    g_previous_sigbus.sa_handler(signal);
  } else {
    ::signal(SIGBUS, SIG_DFL);  // the faulting access repeats and takes the default action
  }
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (MappingWatch& watch : g_watches) {
    const std::uintptr_t begin = watch.begin.load();
    const std::uintptr_t end = watch.end.load();
    if (begin == 0 || address < begin || address >= end) continue;
    const std::uintptr_t page = address & ~(g_page_size - 1);
    // mmap is a plain system call here, safe to make from the handler.
    if (::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1,
               0) != MAP_FAILED) {
      watch.shrank.store(true);
      return;
    }
  }
  forward_sigbus(signal, info, context);
}

void install_sigbus_handler() {
  g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &g_previous_sigbus);
}

MappingWatch* watch_mapping(void* address, std::size_t length) {
  static std::once_flag installed;
  std::call_once(installed, install_sigbus_handler);
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  for (MappingWatch& watch : g_watches) {
    std::uintptr_t free = 0;
    if (!watch.begin.compare_exchange_strong(free, begin)) continue;
    watch.shrank.store(false);
    watch.end.store(begin + length);
    return &watch;
  }
  return nullptr;
}

}  // namespace

void MappedRegion::release() noexcept {
  if (address_ == nullptr) return;
  // Unwatched first: once unmapped, the addresses may be mapped again by anyone.
  if (watch_ != nullptr) {
    watch_->end.store(0);
    watch_->begin.store(0);
  }
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

bool MappedRegion::truncated() const noexcept { return watch_ != nullptr && watch_->shrank.load(); }

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
