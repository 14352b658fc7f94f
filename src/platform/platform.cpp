#include "platform/platform.hpp"

#include <cstring>
#include <iterator>
#include <new>
#include <thread>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#endif

namespace telvane::platform {
namespace {

IbtError os_error(std::string description, unsigned long code) {
  return IbtError::os(std::move(description), static_cast<int>(code));
}

IbtError not_regular(const char* kind) { return IbtError::io(std::string("not a regular file (") + kind + ")"); }

std::size_t round_up_to_page(std::size_t size) { return (size + page_size() - 1) / page_size() * page_size(); }

}  // namespace

#ifdef _WIN32

namespace {

HANDLE handle_of(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// FormatMessageW's text without the line break it ends with.
IbtError last_os_error() {
  const DWORD code = GetLastError();
  wchar_t buffer[2048];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                static_cast<DWORD>(std::size(buffer)), nullptr);
  while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r')) --length;
  std::string text;
  if (length > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
  } else {
    text = "Unknown error";
  }
  return os_error(std::move(text), code);
}

// Memory exhaustion is no file error: it leaves as std::bad_alloc, like any allocation.
IbtError allocation_error() {
  const DWORD code = GetLastError();
  if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY || code == ERROR_COMMITMENT_LIMIT) {
    throw std::bad_alloc();
  }
  return last_os_error();
}

Result<std::wstring> wide_path(const std::string& path) {
  if (path.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                         nullptr, 0);
  if (length == 0) return last_os_error();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

bool make_read_only(void* address, std::size_t size) {
  DWORD previous = 0;
  return VirtualProtect(address, size, PAGE_READONLY, &previous) != 0;
}

}  // namespace

Result<OpenFile> open_regular_file(const std::string& path) {
  Result<std::wstring> wide = wide_path(path);
  if (!wide.ok()) return wide.error();
  const HANDLE handle = CreateFileW(wide.value().c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_os_error();
  const auto file = reinterpret_cast<FileHandle>(handle);
  const DWORD type = GetFileType(handle);
  IbtError refused = IbtError::io("");
  if (type == FILE_TYPE_DISK) {
    Result<FileStamp> stamp = stamp_of(file);
    if (stamp.ok()) return OpenFile{file, stamp.value()};
    refused = stamp.error();
  } else {
    refused = type == FILE_TYPE_PIPE ? not_regular("a FIFO") : type == FILE_TYPE_CHAR ? not_regular("a device")
                                                                                      : last_os_error();
  }
  CloseHandle(handle);
  return refused;
}

Result<FileStamp> stamp_of(FileHandle file) {
  LARGE_INTEGER size;
  FILETIME written;
  if (!GetFileSizeEx(handle_of(file), &size) || !GetFileTime(handle_of(file), nullptr, nullptr, &written)) {
    return last_os_error();
  }
  const auto modified = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
  return FileStamp{static_cast<std::uint64_t>(size.QuadPart), static_cast<std::int64_t>(modified)};
}

void close_file(FileHandle file) noexcept { CloseHandle(handle_of(file)); }

Result<void*> map_file(FileHandle file, std::size_t size) {
  // The view keeps the mapping object alive; its handle is not needed after mapping.
  const HANDLE mapping = CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return last_os_error();
  void* address = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
  const Result<void*> mapped = address != nullptr ? Result<void*>(address) : Result<void*>(last_os_error());
  CloseHandle(mapping);
  return mapped;
}

void unmap_file(void* address, std::size_t /*size*/) noexcept { UnmapViewOfFile(address); }

Result<void*> allocate_pages(std::size_t size) {
  void* address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (address == nullptr) return allocation_error();
  return address;
}

void discard_pages(void* address, std::size_t size) noexcept {
  VirtualFree(address, round_up_to_page(size), MEM_DECOMMIT);
}

void free_pages(void* address, std::size_t /*size*/) noexcept { VirtualFree(address, 0, MEM_RELEASE); }

// Large pages on Windows need a privilege ordinary accounts lack; there is no advice to give.
void advise_huge_pages(void* /*address*/, std::size_t /*size*/) noexcept {}

void populate_pages(const void* /*address*/, std::size_t /*size*/) noexcept {}

std::size_t page_size() noexcept {
  static const std::size_t size = [] {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<std::size_t>(info.dwPageSize);
  }();
  return size;
}

#else  // POSIX

namespace {

int descriptor_of(FileHandle file) { return static_cast<int>(file); }

IbtError last_os_error() {
  const int code = errno;
  return os_error(std::generic_category().message(code), static_cast<unsigned long>(code));
}

// Memory or address space exhausted is no file error: it leaves as std::bad_alloc, like any
// allocation.
IbtError mapping_error() {
  if (errno == ENOMEM) throw std::bad_alloc();
  return last_os_error();
}

std::int64_t modified_ns(const struct stat& info) {
#ifdef __APPLE__
  const struct timespec& time = info.st_mtimespec;
#else
  const struct timespec& time = info.st_mtim;
#endif
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return nullptr;
}

bool make_read_only(void* address, std::size_t size) { return ::mprotect(address, size, PROT_READ) == 0; }

}  // namespace

Result<OpenFile> open_regular_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) return IbtError::io("file name contained an unexpected NUL byte");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return last_os_error();
  struct stat info {};
  Result<OpenFile> opened = IbtError::io("");
  if (::fstat(fd, &info) != 0) {
    opened = last_os_error();
  } else if (!S_ISREG(info.st_mode)) {
    const char* kind = kind_of(info.st_mode);
    opened = not_regular(kind != nullptr ? kind : "of an unknown kind");
  } else {
    return OpenFile{fd, {static_cast<std::uint64_t>(info.st_size), modified_ns(info)}};
  }
  ::close(fd);
  return opened;
}

Result<FileStamp> stamp_of(FileHandle file) {
  struct stat info {};
  if (::fstat(descriptor_of(file), &info) != 0) return last_os_error();
  return FileStamp{static_cast<std::uint64_t>(info.st_size), modified_ns(info)};
}

void close_file(FileHandle file) noexcept { ::close(descriptor_of(file)); }

Result<void*> map_file(FileHandle file, std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor_of(file), 0);
  if (address == MAP_FAILED) return mapping_error();
  return address;
}

// The page table entries are dropped first: madvise does that (on recent kernels) under a
// lock of the mapping alone, where munmap would hold the lock of the whole address space for
// it, keeping other threads from mapping their files meanwhile.
void unmap_file(void* address, std::size_t size) noexcept {
  ::madvise(address, size, MADV_DONTNEED);
  ::munmap(address, size);
}

Result<void*> allocate_pages(std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (address == MAP_FAILED) return mapping_error();
  return address;
}

void discard_pages(void* address, std::size_t size) noexcept {
  ::madvise(address, round_up_to_page(size), MADV_DONTNEED);
}

void free_pages(void* address, std::size_t size) noexcept { ::munmap(address, size); }

// Advice only: without it the memory still works.
void advise_huge_pages([[maybe_unused]] void* address, [[maybe_unused]] std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE) && !defined(TELVANE_PORTABLE_POSIX)
  ::madvise(address, size, MADV_HUGEPAGE);
#endif
}

// A read of the range after a failure (past a new end of the file) faults as it would have.
void populate_pages([[maybe_unused]] const void* address, [[maybe_unused]] std::size_t size) noexcept {
#if defined(MADV_POPULATE_READ) && !defined(TELVANE_PORTABLE_POSIX)
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t start = at / page_size() * page_size();
  ::madvise(reinterpret_cast<void*>(start), at + size - start, MADV_POPULATE_READ);
#endif
}

std::size_t page_size() noexcept {
  static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

#endif

void sleep_for(std::chrono::nanoseconds duration) noexcept { std::this_thread::sleep_for(duration); }

Result<void*> copy_to_read_only_pages(std::span<const std::uint8_t> bytes, std::size_t size) {
  Result<void*> pages = allocate_pages(size);
  if (!pages.ok()) return pages;
  if (!bytes.empty()) std::memcpy(pages.value(), bytes.data(), bytes.size());
  if (!make_read_only(pages.value(), size)) {
    IbtError error = last_os_error();
    free_pages(pages.value(), size);
    return error;
  }
  return pages;
}

}  // namespace telvane::platform
