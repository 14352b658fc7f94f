// What two threads gain over one when the core alone, without Python, does what a short
// Recording.read of three channels does: map and check the file, read the channels with
// their laps, make the table, then release it and unmap the file. Each of two files is read
// READS times, by the calling thread in turn and then by two threads at once; each way runs
// once untimed first. Prints the wall seconds of one such pair as a JSON object.
//
// Usage: telvane_bench_threads FILE FILE READS

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_failure.hpp"
#include "channel/channel.hpp"
#include "mapping/mapped_region.hpp"
#include "read/read_recording.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace {

constexpr std::array<const char*, 3> kShown = {"Speed", "Throttle", "Brake"};
// The lap model's inputs, which Recording.read gathers too where the recording has them.
constexpr std::array<const char*, 7> kLapInputs = {"SessionTime", "Lap",        "LapDist",   "LapDistPct",
                                                   "PlayerTrackSurface", "OnPitRoad", "SessionNum"};

void read_once(const std::string& path) {
  const telvane::IbtFile file = take(telvane::parse_ibt(take(telvane::map_file(path)), telvane::RecordCount::Stored,
                                                        telvane::Layouts::DiskOrLive));
  take(telvane::find_session_time(file));
  telvane::ReadRequest request;
  request.laps = true;
  const std::vector<const telvane::VarHeader*> channels = telvane::scalar_channels(file).vars;
  const auto add = [&](const char* name) {
    for (const telvane::VarHeader* var : channels) {
      if (var->name == name) request.channels.push_back(var);
    }
  };
  for (const char* name : kShown) add(name);
  if (request.channels.size() != kShown.size()) fail(path + ": a channel of the read is missing");
  for (const char* name : kLapInputs) add(name);
  telvane::ReadResult read = take(telvane::read_recording(file, request, nullptr));
  take(telvane::make_channel_table(read.timecodes, std::move(read.channels)));
}

void read_often(const std::string& path, int reads) {
  for (int k = 0; k < reads; ++k) read_once(path);
}

void in_turn(const std::vector<std::string>& paths, int reads) {
  for (const std::string& path : paths) read_often(path, reads);
}

void at_once(const std::vector<std::string>& paths, int reads) {
  std::vector<std::thread> threads;
  for (const std::string& path : paths) threads.emplace_back(read_often, path, reads);
  for (std::thread& thread : threads) thread.join();
}

template <typename Run>
double timed(Run run) {
  run();
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) fail("usage: telvane_bench_threads FILE FILE READS");
  const std::vector<std::string> paths = {argv[1], argv[2]};
  const int reads = std::max(1, std::atoi(argv[3]));
  const double one = timed([&] { in_turn(paths, reads); });
  const double two = timed([&] { at_once(paths, reads); });
  std::printf("{\"1 thread\": %.9f, \"2 threads\": %.9f}\n", one, two);
}
