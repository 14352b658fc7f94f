#include "platform/truncation_guard.hpp"

#ifdef _WIN32

namespace telvane {

TruncationGuard::TruncationGuard(const void* address, std::size_t size, std::atomic<bool>* shrank)
    : begin_(reinterpret_cast<std::uintptr_t>(address)), end_(begin_ + size), shrank_(shrank) {}

TruncationGuard::~TruncationGuard() = default;

}  // namespace telvane

#else

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <mutex>

namespace telvane {
namespace {

std::mutex g_install_mutex;
std::size_t g_live_guards = 0;  // under g_install_mutex
// The action the handler replaced, set before the handler is installed; unused otherwise.
struct sigaction g_replaced {};
std::uintptr_t g_page_size = 0;

void on_sigbus(int signal, siginfo_t* info, void* context);

bool is_ours(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_sigbus;
}

// Does with the signal what the replaced action would have done.
void chain(int signal, siginfo_t* info, void* context) {
  const struct sigaction replaced = g_replaced;
  const bool calls = (replaced.sa_flags & SA_SIGINFO) != 0 ||
                     (replaced.sa_handler != SIG_DFL && replaced.sa_handler != SIG_IGN);
  if (calls) {
    if ((replaced.sa_flags & SA_RESETHAND) != 0) ::signal(signal, SIG_DFL);
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, &replaced.sa_mask, &mask);
    if ((replaced.sa_flags & SA_SIGINFO) != 0) {
      replaced.sa_sigaction(signal, info, context);
    } else {
      replaced.sa_handler(signal);
    }
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    return;
  }
  // A signal sent by a process (si_code <= 0) may be ignored; a fault may not. Otherwise the
  // default action ends the process: a fault repeats once the handler returns, and a sent
  // signal raised again is delivered as soon as the handler returns and unblocks it.
  const bool sent = info->si_code <= 0;
  if (sent && replaced.sa_handler == SIG_IGN) return;
  ::signal(signal, SIG_DFL);
  if (sent) ::raise(signal);
}

}  // namespace

// A SIGBUS from touching a page past the end of a file goes to the thread that touched it,
// so each thread keeps its own chain of guards and the handler looks at the faulting one's.
struct GuardedRanges {
  static thread_local TruncationGuard* innermost;

  // Maps zeros over the rest of the guarded range holding `address`; false when no guard
  // of this thread holds it. mmap is a plain system call, safe to make from the handler.
  static bool replace_with_zeros(std::uintptr_t address) noexcept {
    for (TruncationGuard* guard = innermost; guard != nullptr; guard = guard->outer_) {
      if (address < guard->begin_ || address >= guard->end_) continue;
      const std::uintptr_t page = address & ~(g_page_size - 1);
      if (::mmap(reinterpret_cast<void*>(page), guard->end_ - page, PROT_READ,
                 MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED) {
        return false;
      }
      guard->shrank_->store(true);
      return true;
    }
    return false;
  }
};

thread_local TruncationGuard* GuardedRanges::innermost = nullptr;

namespace {

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const bool fault = info->si_code > 0;
  if (fault && GuardedRanges::replace_with_zeros(reinterpret_cast<std::uintptr_t>(info->si_addr))) return;
  chain(signal, info, context);
}

void install_handler() {
  g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction current {};
  ::sigaction(SIGBUS, nullptr, &current);
  if (is_ours(current)) {  // left behind by a program that saved and restored around us
    current = {};
    current.sa_handler = SIG_DFL;
  }
  g_replaced = current;
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

// Puts the replaced action back, unless someone replaced the handler meanwhile: theirs stays.
void restore_handler() {
  struct sigaction current {};
  ::sigaction(SIGBUS, nullptr, &current);
  if (is_ours(current)) ::sigaction(SIGBUS, &g_replaced, nullptr);
}

}  // namespace

TruncationGuard::TruncationGuard(const void* address, std::size_t size, std::atomic<bool>* shrank)
    : begin_(reinterpret_cast<std::uintptr_t>(address)), end_(begin_ + size), shrank_(shrank) {
  if (shrank_ == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(g_install_mutex);
    if (g_live_guards++ == 0) install_handler();
  }
  outer_ = GuardedRanges::innermost;
  GuardedRanges::innermost = this;
}

TruncationGuard::~TruncationGuard() {
  if (shrank_ == nullptr) return;
  GuardedRanges::innermost = outer_;
  const std::lock_guard<std::mutex> lock(g_install_mutex);
  if (--g_live_guards == 0) restore_handler();
}

}  // namespace telvane

#endif
