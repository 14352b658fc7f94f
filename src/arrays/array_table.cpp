#include "arrays/array_table.hpp"

#include <cstring>

#include "channel/channel.hpp"

namespace telvane {
namespace {

// A tick rate of 0 or below gives no step: every sample of a record takes its timecode.
std::shared_ptr<ColumnMemory> sub_tick_timecodes(const Timecodes& timecodes, std::uint64_t samples, int tick_rate) {
  const std::uint64_t records = static_cast<std::uint64_t>(timecodes.length);
  auto memory = ColumnMemory::allocate(records * samples * sizeof(double));
  const double step = tick_rate > 0 ? 1000.0 / tick_rate / static_cast<double>(samples) : 0.0;
  const std::int64_t* ticks = timecodes.values();
  auto* out = memory->data();
  for (std::uint64_t r = 0; r < records; ++r) {
    for (std::uint64_t j = 0; j < samples; ++j) {
      const double time = static_cast<double>(ticks[r]) - static_cast<double>(samples - 1 - j) * step;
      std::memcpy(out + (r * samples + j) * sizeof(double), &time, sizeof(double));
    }
  }
  return memory;
}

}  // namespace

bool is_sub_tick(const VarHeader& var) noexcept {
  return var.name.size() > 3 && var.name.compare(var.name.size() - 3, 3, "_ST") == 0;
}

Result<RecordBatch> make_array_table(const VarHeader& var, const Timecodes& timecodes,
                                     std::shared_ptr<const ColumnMemory> values, int tick_rate) {
  const auto samples = static_cast<std::uint64_t>(var.count);
  if (is_sub_tick(var)) {
    const Column columns[] = {
        {"timecodes", NANOARROW_TYPE_DOUBLE, {}, {sub_tick_timecodes(timecodes, samples, tick_rate)}},
        {var.name, arrow_type(var.type), field_metadata(var), {std::move(values)}},
    };
    return make_record_batch(columns, timecodes.length * var.count, var.name);
  }
  const Column columns[] = {
      {"timecodes", NANOARROW_TYPE_INT64, {}, {timecodes.memory}},
      {var.name, arrow_type(var.type), field_metadata(var), {std::move(values)}, var.count},
  };
  return make_record_batch(columns, timecodes.length, var.name);
}

}  // namespace telvane
