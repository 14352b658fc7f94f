// Checks of the SIGBUS guard (POSIX): a file shrinking under a guarded read reads as zeros
// and is reported, and every SIGBUS that is not such a fault gets what the handler in place
// before would have given it, and kills the process by default.
//
// Usage: telvane_guard_check DIRECTORY   (for a scratch file)

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "mapping/mapped_region.hpp"

namespace {

using namespace telvane;

volatile sig_atomic_t g_calls = 0;
// Memory that no read here touches: a guard of it only puts the handler in place.
char g_memory[64];
std::atomic<bool> g_shrank{false};

// Counts only sent signals (si_code <= 0): the guard passes on the signal's own information.
void count(int, siginfo_t* info, void*) { g_calls = g_calls + (info->si_code <= 0 ? 1 : 0); }

void count_plain(int) { g_calls = g_calls + 1; }

void install_count_reset_once() {
  struct sigaction action {};
  action.sa_sigaction = count;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
}

using Handler = void (*)(int);

// The plain handler in place; SIG_ERR, which no handler can be, for a siginfo one.
Handler current() {
  struct sigaction now {};
  ::sigaction(SIGBUS, nullptr, &now);
  return (now.sa_flags & SA_SIGINFO) != 0 ? SIG_ERR : now.sa_handler;
}

// After `install`, sends SIGBUS to this thread while a guard of other memory is held (and
// `during` is installed, when given): true when a handler is called `calls` times and `after`
// is in place once the guard is gone.
bool chains(void (*install)(), int calls, Handler after, Handler during = nullptr) {
  install();
  g_calls = 0;
  {
    const TruncationGuard guard(g_memory, sizeof g_memory, &g_shrank);
    if (during != nullptr) ::signal(SIGBUS, during);
    ::raise(SIGBUS);
  }
  return g_calls == calls && current() == after;
}

// Maps a file of three pages and shrinks it to one: its last page is past the file's end.
MappedRegion shrunk_mapping(const std::string& path) {
  std::ofstream(path, std::ios::binary) << std::string(3 * platform::page_size(), '\xAB');
  Result<MappedRegion> region = map_file(path);
  if (!region.ok() || ::truncate(path.c_str(), static_cast<off_t>(platform::page_size())) != 0) std::abort();
  return std::move(region).value();
}

std::uint8_t last_byte(const MappedRegion& region) {
  return *static_cast<const volatile std::uint8_t*>(region.bytes().data() + region.bytes().size() - 1);
}

std::string g_path;

bool a_guarded_read_past_a_new_end_reads_zeros() {
  const MappedRegion region = shrunk_mapping(g_path);
  const bool zeros = [&] {
    const TruncationGuard guard = region.guard_reads();
    return last_byte(region) == 0;
  }();
  const Status unchanged = region.check_unchanged();
  return zeros && !unchanged.ok() &&
         unchanged.error().display() == "I/O error: file was truncated while it was being read";
}

// In a child that has the default action: `act` must end it by SIGBUS, and soon.
bool killed_by_sigbus(void (*act)()) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGBUS, SIG_DFL);
    ::alarm(10);
    act();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
}

int g_failed = 0;

void check(const char* name, bool passed) {
  std::printf("%s %s\n", passed ? "ok  " : "FAIL", name);
  g_failed += passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  g_path = std::string(argv[1]) + "/guard_check.bin";
  check("chains to a plain handler", chains([] { ::signal(SIGBUS, count_plain); }, 1, count_plain));
  check("chains to a siginfo handler, reset once called", chains(install_count_reset_once, 1, SIG_DFL));
  check("keeps a sent signal ignored", chains([] { ::signal(SIGBUS, SIG_IGN); }, 0, SIG_IGN));
  check("keeps a handler installed during the read",
        chains([] { ::signal(SIGBUS, SIG_DFL); }, 1, count_plain, count_plain));
  check("a sent signal kills by default", killed_by_sigbus([] { chains([] {}, 0, SIG_DFL); }));
  check("a guarded read past a new end reads zeros", a_guarded_read_past_a_new_end_reads_zeros());
  check("a read past a new end outside the guarded memory kills", killed_by_sigbus([] {
          const MappedRegion region = shrunk_mapping(g_path);
          const TruncationGuard guard(g_memory, sizeof g_memory, &g_shrank);
          last_byte(region);
        }));
  ::unlink(g_path.c_str());
  return g_failed == 0 ? 0 : 1;
}
