#include "read/read_recording.hpp"

#include <atomic>
#include <system_error>
#include <thread>

#include "arrays/array_table.hpp"
#include "gather/gather.hpp"
#include "laps/laps.hpp"

namespace telvane {
namespace {

// Below this much record area a second thread costs more to start than it saves.
constexpr std::uint64_t kSplitBytes = std::uint64_t{32} << 20;
// Output this large does not stay in the caches: non-temporal stores save reading it in.
constexpr std::uint64_t kStreamingBytes = std::uint64_t{32} << 20;
// At most about this many progress reports per read.
constexpr std::uint64_t kReports = 100;

struct Sweep {
  std::vector<GatherTarget> targets;
  std::vector<std::shared_ptr<ColumnMemory>> columns;  // time base, channels, arrays
  std::uint64_t output = 0;
};

GatherKind value_kind(const VarHeader& var) { return var.type == VarType::Bool ? GatherKind::Bits : GatherKind::Copy; }

std::uint64_t value_width(const VarHeader& var) {
  return std::uint64_t{element_size(var.type)} * static_cast<std::uint64_t>(var.count);
}

Sweep plan_columns(const VarHeader& session_time, const ReadRequest& request, std::uint64_t count) {
  std::vector<GatherTarget> targets{{GatherKind::Timecodes, static_cast<std::uint64_t>(session_time.offset), 8, nullptr}};
  for (const auto* vars : {&request.channels, &request.arrays}) {
    for (const VarHeader* var : *vars) {
      targets.push_back({value_kind(*var), static_cast<std::uint64_t>(var->offset), value_width(*var), nullptr});
    }
  }
  std::vector<std::size_t> sizes;
  Sweep sweep;
  for (const GatherTarget& target : targets) {
    sizes.push_back(output_bytes(target.kind, target.width, count));
    sweep.output += sizes.back();
  }
  sweep.columns = ColumnMemory::allocate_all(sizes);
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i].out = sweep.columns[i]->data();
  sweep.targets = std::move(targets);
  return sweep;
}

// Lap, OnPitRoad and LapDistPct are read with fixed widths whatever their declared extent.
struct LapSweep {
  LapInputs inputs;
  std::vector<double> wide_fractions;  // a Double LapDistPct, narrowed after the sweep
};

Status plan_lap_inputs(const IbtFile& file, ByteView records, std::uint64_t count, std::uint64_t stride,
                       LapSweep& laps, std::vector<GatherTarget>& targets) {
  const auto add = [&](const VarHeader& var, std::uint64_t width, std::uint8_t* out) -> Status {
    const auto offset = static_cast<std::uint64_t>(var.offset);
    if (Status status = check_per_record_read(records, count, stride, offset, width); !status.ok()) return status;
    targets.push_back({GatherKind::Copy, offset, width, out});
    return ok_status();
  };
  const VarHeader* lap = find_var(file, "Lap");
  if (lap == nullptr || count == 0) return ok_status();
  laps.inputs.laps.resize(count);
  if (Status status = add(*lap, 4, reinterpret_cast<std::uint8_t*>(laps.inputs.laps.data())); !status.ok()) {
    return status;
  }
  if (const VarHeader* pit = find_var(file, "OnPitRoad")) {
    laps.inputs.on_pit_road.resize(count);
    if (Status status = add(*pit, 1, laps.inputs.on_pit_road.data()); !status.ok()) return status;
  }
  if (const VarHeader* distance = find_var(file, "LapDistPct")) {
    if (distance->type == VarType::Float) {
      laps.inputs.fractions.resize(count);
      return add(*distance, 4, reinterpret_cast<std::uint8_t*>(laps.inputs.fractions.data()));
    }
    if (distance->type != VarType::Double) {
      laps.inputs.fractions.assign(count, 0.0f);
      return ok_status();
    }
    laps.wide_fractions.resize(count);
    return add(*distance, 8, reinterpret_cast<std::uint8_t*>(laps.wide_fractions.data()));
  }
  return ok_status();
}

/// Gathers records [first, end) in chunks; `gathered` counts the records done by every thread.
class Gatherer {
public:
  Gatherer(const std::vector<GatherTarget>& targets, ByteView records, std::uint64_t stride, std::uint64_t count,
           bool streaming)
      : targets_(targets), records_(records), stride_(stride), count_(count), streaming_(streaming) {
    const std::uint64_t block = block_records(stride);
    chunk_ = (count / kReports + block - 1) / block * block;
    if (chunk_ < block) chunk_ = block;
  }

  // False when stopped, by the progress report or by the other thread.
  bool run(std::uint64_t first, std::uint64_t end, const ReadProgress* progress) noexcept {
    for (std::uint64_t start = first; start < end; start += chunk_) {
      if (stopped_.load(std::memory_order_relaxed)) return false;
      const std::uint64_t n = end - start < chunk_ ? end - start : chunk_;
      gather_records(targets_, records_, stride_, start, n, streaming_);
      const std::uint64_t done = gathered_.fetch_add(n, std::memory_order_relaxed) + n;
      if (progress != nullptr && *progress && done < count_ && !report(*progress, done)) return false;
    }
    if (streaming_) finish_streaming();
    return true;
  }

  bool report(const ReadProgress& progress, std::uint64_t done) noexcept {
    bool go_on = false;
    try {
      go_on = progress(done, count_);
    } catch (...) {
    }
    if (!go_on) stopped_.store(true, std::memory_order_relaxed);
    return go_on;
  }

private:
  const std::vector<GatherTarget>& targets_;
  ByteView records_;
  std::uint64_t stride_;
  std::uint64_t count_;
  bool streaming_;
  std::uint64_t chunk_;
  std::atomic<std::uint64_t> gathered_{0};
  std::atomic<bool> stopped_{false};
};

// The first half of the records on this thread, with the progress reports; the second on a
// helper thread when the area is large enough to be worth one. Each thread guards its own
// reads against the file shrinking.
bool gather_all(const IbtFile& file, const std::vector<GatherTarget>& targets, ByteView records, std::uint64_t stride,
                std::uint64_t count, bool streaming, const ReadProgress& progress) {
  Gatherer gatherer(targets, records, stride, count, streaming);
  std::uint64_t middle = count;
  std::thread helper;
  if (records.size() >= kSplitBytes) {
    middle = count / 2 / 64 * 64;  // whole blocks of 64 records for both
    try {
      helper = std::thread([&] {
        const TruncationGuard guard = file.guard_reads();
        gatherer.run(middle, count, nullptr);
      });
    } catch (const std::system_error&) {
      middle = count;
    }
  }
  bool complete = gatherer.run(0, middle, &progress);
  if (helper.joinable()) helper.join();
  if (complete && progress && count > 0) complete = gatherer.report(progress, count);
  return complete;
}

}  // namespace

Result<ReadResult> read_recording(const IbtFile& file, const ReadRequest& request, const ReadProgress& progress) {
  const TruncationGuard guard = file.guard_reads();
  Result<SessionTimeRecords> found = session_time_records(file);
  if (!found.ok()) return found.error();
  [[maybe_unused]] const auto& [session_time, records, count, stride, offset] = found.value();
  Sweep sweep = plan_columns(*session_time, request, count);
  LapSweep laps;
  if (request.laps) {
    if (Status status = plan_lap_inputs(file, records, count, stride, laps, sweep.targets); !status.ok()) {
      return status.error();
    }
  }
  if (!gather_all(file, sweep.targets, records, stride, count, sweep.output >= kStreamingBytes, progress)) {
    return IbtError::internal("the read was stopped");
  }
  if (!laps.wide_fractions.empty()) {
    laps.inputs.fractions.assign(laps.wide_fractions.begin(), laps.wide_fractions.end());  // to nearest
  }

  ReadResult result;
  result.timecodes = {std::move(sweep.columns[0]), static_cast<std::int64_t>(count)};
  std::size_t column = 1;
  for (const VarHeader* var : request.channels) {
    Result<RecordBatch> batch = make_channel_table(*var, result.timecodes, std::move(sweep.columns[column++]));
    if (!batch.ok()) return batch.error();
    result.channels.push_back({var->name, std::move(batch).value()});
  }
  for (const VarHeader* var : request.arrays) {
    Result<RecordBatch> batch =
        make_array_table(*var, result.timecodes, std::move(sweep.columns[column++]), file.header().tick_rate);
    if (!batch.ok()) return batch.error();
    result.arrays.push_back({var->name, std::move(batch).value()});
  }
  if (request.laps) {
    Result<RecordBatch> table = laps_table(segment_laps(laps.inputs, result.timecodes));
    if (!table.ok()) return table.error();
    result.laps = std::move(table).value();
  }
  return result;
}

}  // namespace telvane
