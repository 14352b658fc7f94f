#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace telvane {

/// While alive, reads on this thread of the `size` bytes mapped from a file at `address`
/// survive the file shrinking under them: a page past its new end, which would kill the
/// process with SIGBUS, is replaced by zeros and `shrank` is set, so that the reader can
/// finish and report the truncation. The SIGBUS handler is installed only while some guard
/// is alive and chains to the one it replaced for every fault that is not a guarded read.
/// POSIX only; on Windows the guard does nothing, as a mapped file cannot be shortened there.
class TruncationGuard {
public:
  /// A null `shrank` makes an inert guard, for memory that no file backs.
  TruncationGuard(const void* address, std::size_t size, std::atomic<bool>* shrank);
  ~TruncationGuard();
  TruncationGuard(const TruncationGuard&) = delete;
  TruncationGuard& operator=(const TruncationGuard&) = delete;

private:
  friend struct GuardedRanges;
  std::uintptr_t begin_;
  std::uintptr_t end_;
  std::atomic<bool>* shrank_;
  TruncationGuard* outer_ = nullptr;  // the guard this thread had before, if any
};

}  // namespace telvane
