// Checks of the SIGBUS guard (POSIX): a file shrinking under a guarded read reads as zeros
// and is reported, and every SIGBUS that is not such a fault gets exactly what the handler
// in place before would have given it, during a read as outside one.
//
// Usage: telvane_guard_check DIRECTORY   (for a scratch file)

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mapping/mapped_region.hpp"
#include "platform/platform.hpp"
#include "platform/truncation_guard.hpp"

namespace {

using namespace telvane;

volatile sig_atomic_t g_calls = 0;
volatile sig_atomic_t g_code = 0;

void record(int, siginfo_t* info, void*) {
  g_calls = g_calls + 1;
  g_code = info->si_code;
}

void record_plain(int) { g_calls = g_calls + 1; }

struct sigaction action_of(void (*handler)(int, siginfo_t*, void*), int flags) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | flags;
  sigemptyset(&action.sa_mask);
  return action;
}

void set(const struct sigaction& action) { ::sigaction(SIGBUS, &action, nullptr); }

void set(void (*handler)(int)) { ::signal(SIGBUS, handler); }

struct sigaction current() {
  struct sigaction action {};
  ::sigaction(SIGBUS, nullptr, &action);
  return action;
}

bool is(const struct sigaction& action, void (*handler)(int, siginfo_t*, void*)) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == handler;
}

bool is(const struct sigaction& action, void (*handler)(int)) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
}

// Sends SIGBUS to this thread while a guard of some memory is held.
void raise_while_guarded() {
  static char memory[64];
  std::atomic<bool> shrank{false};
  const TruncationGuard guard(memory, sizeof memory, &shrank);
  ::raise(SIGBUS);
}

bool chains_to_a_siginfo_handler() {
  g_calls = 0;
  set(action_of(record, 0));
  raise_while_guarded();
  return g_calls == 1 && g_code <= 0 && is(current(), record);
}

bool chains_to_a_plain_handler_reset_once_called() {
  g_calls = 0;
  struct sigaction action {};
  action.sa_handler = record_plain;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  set(action);
  raise_while_guarded();
  return g_calls == 1 && is(current(), SIG_DFL);
}

bool keeps_a_sent_signal_ignored() {
  set(SIG_IGN);
  raise_while_guarded();
  return is(current(), SIG_IGN);
}

bool keeps_a_handler_installed_during_the_read() {
  set(SIG_DFL);
  {
    std::atomic<bool> shrank{false};
    const char memory[1] = {};
    const TruncationGuard guard(memory, 1, &shrank);
    set(action_of(record, SA_NODEFER));
  }
  return is(current(), record) && (current().sa_flags & SA_NODEFER) != 0;
}

// In a child: the default action must end it by SIGBUS, whatever `act` does.
bool killed_by_sigbus(void (*act)()) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    set(SIG_DFL);
    act();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
}

bool a_sent_signal_kills_by_default() { return killed_by_sigbus(raise_while_guarded); }

std::string g_path;

// Maps a file of three pages, shrinks it to one, then reads its last page.
int read_past_the_new_end(bool guarded, bool& zeros, std::string& report) {
  const std::size_t page = platform::page_size();
  const std::vector<char> bytes(3 * page, '\xAB');
  const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
  Result<MappedRegion> region = map_file(g_path);
  if (!region.ok() || ::ftruncate(fd, static_cast<off_t>(page)) != 0) return 1;
  ::close(fd);
  const MappedRegion& mapped = region.value();
  const volatile std::uint8_t* last = mapped.bytes().data() + 2 * page;
  const auto read = [&] { zeros = last[0] == 0 && last[page - 1] == 0; };
  if (guarded) {
    const TruncationGuard guard = mapped.guard_reads();
    read();
  } else {
    read();
  }
  const Status unchanged = mapped.check_unchanged();
  report = unchanged.ok() ? "unchanged" : unchanged.error().display();
  return 0;
}

bool a_guarded_read_past_a_new_end_reads_zeros() {
  bool zeros = false;
  std::string report;
  return read_past_the_new_end(true, zeros, report) == 0 && zeros &&
         report == "I/O error: file was truncated while it was being read";
}

bool an_unguarded_read_past_a_new_end_kills() {
  return killed_by_sigbus([] {
    bool zeros = false;
    std::string report;
    read_past_the_new_end(false, zeros, report);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  g_path = std::string(argv[1]) + "/guard_check.bin";
  const struct {
    const char* name;
    bool (*check)();
  } checks[] = {
      {"chains to a siginfo handler", chains_to_a_siginfo_handler},
      {"chains to a plain handler, reset once called", chains_to_a_plain_handler_reset_once_called},
      {"keeps a sent signal ignored", keeps_a_sent_signal_ignored},
      {"keeps a handler installed during the read", keeps_a_handler_installed_during_the_read},
      {"a sent signal kills by default", a_sent_signal_kills_by_default},
      {"a guarded read past a new end reads zeros", a_guarded_read_past_a_new_end_reads_zeros},
      {"an unguarded read past a new end kills", an_unguarded_read_past_a_new_end_kills},
  };
  int failed = 0;
  for (const auto& check : checks) {
    const bool passed = check.check();
    std::printf("%s %s\n", passed ? "ok  " : "FAIL", check.name);
    failed += passed ? 0 : 1;
  }
  ::unlink(g_path.c_str());
  return failed == 0 ? 0 : 1;
}
