#include "read/read_recording.hpp"

#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "arrays/array_table.hpp"
#include "gather/gather.hpp"
#include "laps/laps.hpp"
#include "platform/platform.hpp"

namespace telvane {
namespace {

// Below this much record area a second thread costs more to start than it saves.
constexpr std::uint64_t kSplitBytes = std::uint64_t{32} << 20;
// Output this large, with the records read beside it, does not stay in the caches:
// non-temporal stores save reading it in.
constexpr std::uint64_t kStreamingBytes = std::uint64_t{8} << 20;
// At most about this many progress reports per read.
constexpr std::uint64_t kReports = 100;

struct Sweep {
  std::vector<GatherTarget> targets;  // time base, channels, arrays, then lap channels no column holds
  std::vector<std::shared_ptr<ColumnMemory>> columns;
  std::uint64_t output = 0;
};

// Bool values become a bitmap, as Arrow holds them; every other type is copied.
GatherKind value_kind(const VarHeader& var) { return var.type == VarType::Bool ? GatherKind::Bits : GatherKind::Copy; }

std::uint64_t value_width(const VarHeader& var) {
  return std::uint64_t{element_size(var.type)} * static_cast<std::uint64_t>(var.count);
}

std::vector<GatherTarget> value_targets(const VarHeader& session_time, const ReadRequest& request) {
  std::vector<GatherTarget> targets{{GatherKind::Timecodes, static_cast<std::uint64_t>(session_time.offset), 8, nullptr}};
  for (const auto* vars : {&request.channels, &request.arrays}) {
    for (const VarHeader* var : *vars) {
      targets.push_back({value_kind(*var), static_cast<std::uint64_t>(var->offset), value_width(*var), nullptr});
    }
  }
  return targets;
}

void allocate(Sweep& sweep, std::uint64_t count) {
  std::vector<std::size_t> sizes;
  for (const GatherTarget& target : sweep.targets) {
    sizes.push_back(output_bytes(target.kind, target.width, count));
    sweep.output += sizes.back();
  }
  sweep.columns = ColumnMemory::allocate_all(sizes);
  for (std::size_t i = 0; i < sweep.targets.size(); ++i) sweep.targets[i].out = sweep.columns[i]->data();
}

/// One lap channel: the gathered column it is read from and how its bytes hold the values.
struct LapSource {
  std::size_t target;
  VarType type;
};

/// Where the lap counter, the pit flags and the lap fractions come from.
struct LapPlan {
  std::optional<LapSource> lap, pit, fraction;
};

// The target that gathers `wanted`, added after the others when no column already holds it.
// Reads of a fixed width can leave the record area where the variable's extent does not.
Result<std::size_t> target_of(std::vector<GatherTarget>& targets, GatherTarget wanted, const SessionTimeRecords& area) {
  for (std::size_t i = 1; i < targets.size(); ++i) {
    const GatherTarget& t = targets[i];
    if (t.kind == wanted.kind && t.offset == wanted.offset && t.width == wanted.width) return i;
  }
  if (Status status = check_per_record_read(area.records, area.count, area.stride, wanted.offset, wanted.width);
      !status.ok()) {
    return status.error();
  }
  targets.push_back(wanted);
  return targets.size() - 1;
}

// The lap counter, then the pit flag (one byte, non-zero on pit road), then the fraction of
// the lap (a Float or a Double, else none): the first that cannot be read is the error.
Result<LapPlan> plan_lap_channels(const IbtFile& file, LapCounter counter, const SessionTimeRecords& area,
                                  std::vector<GatherTarget>& targets) {
  LapPlan plan;
  const VarHeader* lap = find_var(file, "Lap");
  if (lap == nullptr || area.count == 0) return plan;
  const auto at = [](const VarHeader& var) { return static_cast<std::uint64_t>(var.offset); };
  const GatherTarget lap_target = counter == LapCounter::Bits32
                                      ? GatherTarget{GatherKind::Copy, at(*lap), 4, nullptr}
                                      : GatherTarget{value_kind(*lap), at(*lap), element_size(lap->type), nullptr};
  Result<std::size_t> found = target_of(targets, lap_target, area);
  if (!found.ok()) return found.error();
  plan.lap = LapSource{found.value(), counter == LapCounter::Bits32 ? VarType::Int : lap->type};
  if (const VarHeader* pit = find_var(file, "OnPitRoad")) {
    const GatherKind kind = value_kind(*pit);
    found = target_of(targets, {kind, at(*pit), 1, nullptr}, area);
    if (!found.ok()) return found.error();
    plan.pit = LapSource{found.value(), kind == GatherKind::Bits ? VarType::Bool : VarType::Char};
  }
  const VarHeader* distance = find_var(file, "LapDistPct");
  if (distance != nullptr && (distance->type == VarType::Float || distance->type == VarType::Double)) {
    found = target_of(targets, {GatherKind::Copy, at(*distance), element_size(distance->type), nullptr}, area);
    if (!found.ok()) return found.error();
    plan.fraction = LapSource{found.value(), distance->type};
  }
  return plan;
}

template <typename T>
T element(const std::uint8_t* column, std::size_t i) {
  T value;
  std::memcpy(&value, column + i * sizeof(T), sizeof(T));
  return value;
}

// Every record's value of a lap input, each passed through `convert`: the type is looked at
// once per column, not once per value.
template <typename Out, typename Convert>
std::vector<Out> converted(const LapSource& source, const Sweep& sweep, std::size_t count, Convert convert) {
  const std::uint8_t* column = sweep.columns[source.target]->data();
  std::vector<Out> values(count);
  const auto each = [&]<typename In>() {
    for (std::size_t i = 0; i < count; ++i) values[i] = convert(element<In>(column, i));
  };
  switch (source.type) {
    case VarType::Char: each.template operator()<std::uint8_t>(); break;
    case VarType::Bool:  // a bitmap
      for (std::size_t i = 0; i < count; ++i) values[i] = convert((column[i / 8] >> (i % 8)) & 1);
      break;
    case VarType::Int: each.template operator()<std::int32_t>(); break;
    case VarType::BitField: each.template operator()<std::uint32_t>(); break;
    case VarType::Float: each.template operator()<float>(); break;
    case VarType::Double: each.template operator()<double>(); break;
  }
  return values;
}

LapChannels lap_channels(const LapPlan& plan, const Sweep& sweep, std::size_t count) {
  LapChannels channels;
  channels.laps = converted<double>(*plan.lap, sweep, count, [](auto value) { return static_cast<double>(value); });
  if (plan.pit) {
    channels.on_pit_road =
        converted<std::uint8_t>(*plan.pit, sweep, count, [](auto value) { return std::uint8_t{value != 0}; });
  }
  if (plan.fraction) {  // a Float, or a Double rounded to nearest
    channels.fractions = converted<float>(*plan.fraction, sweep, count, [](auto value) { return static_cast<float>(value); });
  }
  return channels;
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
    // The gather's requests for whole records ahead are dropped where a page is not mapped
    // yet: these records are mapped in at once first. The page faults serve a read of a few
    // channels as well, for less.
    if (end > first && fetches_whole_records(targets_.size(), stride_)) {
      platform::populate_pages(records_.data() + first * stride_, (end - first) * stride_);
    }
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
  const SessionTimeRecords& area = found.value();
  Sweep sweep{value_targets(*area.session_time, request), {}, 0};
  std::optional<Result<LapPlan>> laps;
  if (request.laps) laps.emplace(plan_lap_channels(file, request.lap_counter, area, sweep.targets));
  allocate(sweep, area.count);
  if (!gather_all(file, sweep.targets, area.records, area.stride, area.count, sweep.output >= kStreamingBytes,
                  progress)) {
    return IbtError::internal("the read was stopped");
  }

  ReadResult result;
  result.timecodes = {sweep.columns[0], static_cast<std::int64_t>(area.count)};
  std::size_t column = 1;
  for (const VarHeader* var : request.channels) {
    result.channels.push_back(channel_column(*var, sweep.columns[column++]));
  }
  for (const VarHeader* var : request.arrays) {
    Result<RecordBatch> batch =
        make_array_table(*var, result.timecodes, sweep.columns[column++], file.header().tick_rate);
    if (!batch.ok()) return batch.error();
    result.arrays.push_back({var->name, std::move(batch).value()});
  }
  if (laps) {
    if (!laps->ok()) {
      result.laps.emplace(laps->error());
    } else if (!laps->value().lap) {
      result.laps.emplace(laps_table({}));
    } else {
      result.laps.emplace(laps_table(segment_laps(lap_channels(laps->value(), sweep, area.count), result.timecodes)));
    }
  }
  return result;
}

}  // namespace telvane
