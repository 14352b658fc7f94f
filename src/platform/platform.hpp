#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error/ibt_error.hpp"

// Every call into the operating system the core makes, for POSIX (Linux and macOS) and
// Windows. Addresses and sizes passed back in are those these functions handed out.
namespace telvane::platform {

/// An open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;

/// The size and modification time of a file: rewriting it in place changes them.
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // in the system's own unit: ns on POSIX, 100 ns on Windows
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

/// A file opened for reading, with its stamp at opening.
struct OpenFile {
  FileHandle handle;
  FileStamp stamp;
};

/// Opens the file at the UTF-8 `path` for reading. The open does not wait (a FIFO without
/// a writer would block it), and anything but a regular file is refused.
[[nodiscard]] Result<OpenFile> open_regular_file(const std::string& path);

/// The current stamp of an open file.
[[nodiscard]] Result<FileStamp> stamp_of(FileHandle file);

void close_file(FileHandle file) noexcept;

/// Maps the first `size` bytes (at least one, at most the file's size) of `file` read-only,
/// shared with whoever writes the file.
[[nodiscard]] Result<void*> map_file(FileHandle file, std::size_t size);

void unmap_file(void* address, std::size_t size) noexcept;

/// `size` (non-zero) bytes of private, zeroed, readable and writable memory, page-aligned.
[[nodiscard]] Result<void*> allocate_pages(std::size_t size);

/// A private read-only copy of `bytes` in `size` >= bytes.size() (non-zero) bytes of pages
/// from allocate_pages; the rest reads as zeros.
[[nodiscard]] Result<void*> copy_to_read_only_pages(std::span<const std::uint8_t> bytes, std::size_t size);

/// Gives whole pages inside an allocation back to the system; they are not used again.
void discard_pages(void* address, std::size_t size) noexcept;

void free_pages(void* address, std::size_t size) noexcept;

/// Asks for huge pages where the system takes such advice; elsewhere does nothing.
void advise_huge_pages(void* address, std::size_t size) noexcept;

/// Maps the pages of a range of a file mapping in at once where the system can, rather than
/// page fault by page fault as they are read; elsewhere, or where that fails, does nothing.
void populate_pages(const void* address, std::size_t size) noexcept;

[[nodiscard]] std::size_t page_size() noexcept;

/// Sleeps this thread for `duration`, or a little longer.
void sleep_for(std::chrono::nanoseconds duration) noexcept;

}  // namespace telvane::platform
