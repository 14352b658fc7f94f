#include "mapping/truncation_watch.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

namespace telvane {

// Touching a page of a MAP_SHARED mapping beyond the end of a file that shrank raises
// SIGBUS; the handler below maps zeros over the rest of a watched mapping and marks it, so
// the read finishes and the caller reports the truncation. The slots are lock-free atomics
// because the handler reads them.
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

}  // namespace

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

void unwatch_mapping(MappingWatch* watch) noexcept {
  if (watch == nullptr) return;
  watch->end.store(0);
  watch->begin.store(0);
}

bool mapping_shrank(const MappingWatch* watch) noexcept { return watch != nullptr && watch->shrank.load(); }

}  // namespace telvane
