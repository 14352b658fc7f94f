// Times the Python-free core on one IBT file: map + parse, time base, channel gather, laps,
// the unmapping of the file and the release of the columns; plus the floor, one copy of the record area into fresh
// anonymous memory advised to use huge pages. Prints the medians in seconds as one JSON object.
//
// Usage: telvane_bench_core FILE [REPETITIONS]   (after a first round, reported as "first ...")

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_failure.hpp"
#include "mapping/mapped_region.hpp"
#include "read/read_recording.hpp"
#include "reader/ibt_file.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Samples = std::map<std::string, std::vector<double>>;

double seconds_since(Clock::time_point& mark) {
  const Clock::time_point now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - mark).count();
  mark = now;
  return elapsed;
}

void run_core(const std::string& path, Samples& samples) {
  Clock::time_point mark = Clock::now();
  std::optional<telvane::IbtFile> file = take(telvane::parse_ibt(take(telvane::map_file(path))));
  samples["parse"].push_back(seconds_since(mark));
  const telvane::ReadRequest request{telvane::scalar_channels(*file).vars, {}, true, telvane::LapCounter::Bits32};
  telvane::ReadResult read = take(telvane::read_recording(*file, request, nullptr));
  std::vector<telvane::RecordBatch> tables;  // one per channel, as ibt hands them over
  for (const telvane::Column& column : read.channels) {
    tables.push_back(take(telvane::make_channel_table(read.timecodes, {column})));
  }
  samples["read"].push_back(seconds_since(mark));
  file.reset();
  samples["unmap"].push_back(seconds_since(mark));
  read = {};
  tables.clear();
  samples["release"].push_back(seconds_since(mark));
}

void run_floor(const std::string& path, Samples& samples) {
  const telvane::IbtFile file = take(telvane::parse_ibt(take(telvane::map_file(path))));
  const telvane::ByteView area = take(telvane::record_area(file));
  const std::size_t length = std::max<std::size_t>(area.size(), 1);
  Clock::time_point mark = Clock::now();
  void* copy = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) fail("mmap failed");
  madvise(copy, length, MADV_HUGEPAGE);
  std::memcpy(copy, area.data(), area.size());
  samples["floor"].push_back(seconds_since(mark));
  munmap(copy, length);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) fail("usage: telvane_bench_core FILE [REPETITIONS]");
  const std::string path = argv[1];
  const int repetitions = argc == 3 ? std::max(1, std::atoi(argv[2])) : 7;
  // The first round is also reported on its own: it is the only one whose small columns
  // come from fresh heap pages rather than from memory the allocator kept from a round before.
  Samples samples;
  run_core(path, samples);
  run_floor(path, samples);
  Samples first;
  for (auto& [name, values] : samples) first["first " + name] = std::move(values);
  samples.clear();
  for (int i = 0; i < repetitions; ++i) {
    run_core(path, samples);
    run_floor(path, samples);
  }
  samples.merge(first);
  const char* separator = "{";
  for (const auto& [name, values] : samples) {
    std::printf("%s\"%s\": %.9f", separator, name.c_str(), median(values));
    separator = ", ";
  }
  std::printf("}\n");
}
