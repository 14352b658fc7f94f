#include "platform/shared_memory.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>

namespace telvane::platform {
namespace {

IbtError open_error(const char* what, std::string_view name) {
  return IbtError::os(std::string("could not open the ") + what + " " + std::string(name),
                      static_cast<int>(GetLastError()));
}

std::wstring wide(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

}  // namespace

Result<std::optional<SharedMemory>> open_shared_memory(std::string_view mapping, std::string_view event) {
  const HANDLE section = OpenFileMappingW(FILE_MAP_READ, FALSE, wide(mapping).c_str());
  if (section == nullptr) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return std::optional<SharedMemory>();
    return open_error("mapping", mapping);
  }
  // The view keeps the mapping alive. A length of 0 maps all of it, whatever size its
  // writer gave it; the region's size is then the view's.
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  MEMORY_BASIC_INFORMATION region{};
  if (view == nullptr || VirtualQuery(view, &region, sizeof region) == 0) {
    const IbtError failed = open_error("mapping", mapping);
    if (view != nullptr) UnmapViewOfFile(view);
    CloseHandle(section);
    return failed;
  }
  CloseHandle(section);
  const HANDLE signal = OpenEventW(SYNCHRONIZE, FALSE, wide(event).c_str());
  if (signal == nullptr) {
    const bool absent = GetLastError() == ERROR_FILE_NOT_FOUND;
    const IbtError failed = open_error("event", event);
    UnmapViewOfFile(view);
    if (absent) return std::optional<SharedMemory>();
    return failed;
  }
  return std::optional<SharedMemory>(SharedMemory{static_cast<const std::uint8_t*>(view),
                                                  static_cast<std::size_t>(region.RegionSize),
                                                  reinterpret_cast<std::intptr_t>(signal)});
}

void close_shared_memory(const SharedMemory& memory) noexcept {
  UnmapViewOfFile(memory.address);
  CloseHandle(reinterpret_cast<HANDLE>(memory.event));
}

bool wait_for_event(std::intptr_t event, std::chrono::nanoseconds timeout) noexcept {
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  const auto bounded = static_cast<DWORD>(std::clamp<std::int64_t>(milliseconds, 0, INFINITE - 1));
  return WaitForSingleObject(reinterpret_cast<HANDLE>(event), bounded) == WAIT_OBJECT_0;
}

}  // namespace telvane::platform

#else  // POSIX

namespace telvane::platform {

Result<std::optional<SharedMemory>> open_shared_memory(std::string_view /*mapping*/, std::string_view /*event*/) {
  return IbtError::io("named shared memory and events are opened on Windows only");
}

void close_shared_memory(const SharedMemory& /*memory*/) noexcept {}

bool wait_for_event(std::intptr_t /*event*/, std::chrono::nanoseconds /*timeout*/) noexcept { return false; }

}  // namespace telvane::platform

#endif
