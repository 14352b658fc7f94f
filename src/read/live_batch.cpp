#include "read/live_batch.hpp"

#include <atomic>
#include <cstring>
#include <string>

#include "channel/channel.hpp"
#include "columns/record_batch.hpp"
#include "reader/ibt_file.hpp"

namespace telvane {
namespace {

const std::string kContext = "live telemetry";

// What the arrays of one batch point into: their values (each buffer starting on a word),
// their buffer addresses, the arrays themselves, and how many of them are not yet released.
// Each array releases on its own, so that a consumer may keep a column and let the others go.
struct LiveArrays {
  std::atomic<std::size_t> holders;
  std::vector<std::uint64_t> values;
  std::vector<const void*> buffers;  // per column: no validity bitmap, then its values; a null for the struct
  std::vector<ArrowArray> arrays;    // the columns, then the values of each fixed-size list
  std::vector<ArrowArray*> children;  // of the struct, then of each fixed-size list
};

void release_part(ArrowArray* array) noexcept {
  for (std::int64_t i = 0; i < array->n_children; ++i) {
    ArrowArray* child = array->children[i];
    if (child->release != nullptr) child->release(child);
  }
  auto* data = static_cast<LiveArrays*>(array->private_data);
  array->release = nullptr;
  if (data->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete data;
}

void set_array(ArrowArray* array, LiveArrays* data, std::int64_t length, std::int64_t n_buffers,
               const void** buffers, std::int64_t n_children, ArrowArray** children) noexcept {
  *array = ArrowArray{length, 0, 0, n_buffers, n_children, buffers, children, nullptr, &release_part, data};
}

constexpr std::uint64_t words(std::uint64_t bytes) noexcept { return (bytes + 7) / 8; }

// Bit (first + i) * width + j is set when byte j of record i's run is non-zero; the bits of
// the rows before stay as they are.
void set_bits(const GatherTarget& target, ByteView records, std::uint64_t stride, std::uint64_t count,
              std::uint64_t first, std::uint8_t* out) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* run = records.data() + i * stride + target.offset;
    for (std::uint64_t j = 0; j < target.width; ++j) {
      const std::uint64_t bit = (first + i) * target.width + j;
      if (run[j] != 0) out[bit / 8] = static_cast<std::uint8_t>(out[bit / 8] | (1U << (bit % 8)));
    }
  }
}

}  // namespace

Result<LiveBatchPlan> LiveBatchPlan::make(std::uint64_t stride, const VarHeader& session_time,
                                          std::span<const VarHeader* const> vars) {
  LiveBatchPlan plan;
  plan.stride_ = stride;
  plan.targets_.push_back({{GatherKind::Timecodes, static_cast<std::uint64_t>(session_time.offset), 8, nullptr}, 0});
  std::vector<Column> columns{{"tick", NANOARROW_TYPE_INT32, {}, {}}, {"timecodes", NANOARROW_TYPE_INT64, {}, {}}};
  for (const VarHeader* var : vars) {
    const std::uint64_t width = std::uint64_t{element_size(var->type)} * static_cast<std::uint64_t>(var->count);
    const GatherKind kind = var->type == VarType::Bool ? GatherKind::Bits : GatherKind::Copy;
    const std::int32_t list_size = var->count > 1 ? var->count : 0;
    plan.targets_.push_back({{kind, static_cast<std::uint64_t>(var->offset), width, nullptr}, list_size});
    columns.push_back({var->name, arrow_type(var->type), field_metadata(*var), {}, list_size});
  }
  const std::vector<std::uint8_t> record(stride, 0);
  const ByteView zeros(record.data(), record.size());
  for (const Target& target : plan.targets_) {
    if (Status inside = check_per_record_read(zeros, 1, stride, target.gather.offset, target.gather.width); !inside.ok()) {
      return inside.error();
    }
  }
  Result<nanoarrow::UniqueSchema> schema = make_schema(columns, kContext);
  if (!schema.ok()) return schema.error();
  plan.schema_ = std::move(schema).value();
  LiveRows rows;
  const nanoarrow::UniqueArray sample = plan.block(1, rows);
  const std::int32_t tick = 0;
  if (Status written = plan.write(rows, 0, {&tick, 1}, zeros); !written.ok()) return written.error();
  if (Status valid = validate_batch(plan.schema(), sample.get(), kContext); !valid.ok()) return valid.error();
  return plan;
}

nanoarrow::UniqueArray LiveBatchPlan::block(std::uint64_t count, LiveRows& rows) const {
  const std::size_t columns = targets_.size() + 1;
  std::size_t lists = 0;
  std::uint64_t total = words(count * sizeof(std::int32_t));
  for (const Target& target : targets_) {
    total += words(output_bytes(target.gather.kind, target.gather.width, count));
    lists += target.list_size > 0 ? 1 : 0;
  }
  auto data = std::make_unique<LiveArrays>();
  data->values.resize(total);
  data->buffers.assign(2 * columns + 1, nullptr);
  data->arrays.resize(columns + lists);
  data->children.resize(columns + lists);
  for (std::size_t i = 0; i < data->arrays.size(); ++i) data->children[i] = &data->arrays[i];
  rows.values.assign(columns, nullptr);
  rows.count = count;
  std::uint64_t* next = data->values.data();
  for (std::size_t i = 0; i < columns; ++i) {
    data->buffers[2 * i + 1] = rows.values[i] = reinterpret_cast<std::uint8_t*>(next);
    const Target* target = i == 0 ? nullptr : &targets_[i - 1];
    next += words(target == nullptr ? count * sizeof(std::int32_t)
                                    : output_bytes(target->gather.kind, target->gather.width, count));
  }

  const auto length = static_cast<std::int64_t>(count);
  LiveArrays* shared = data.get();
  set_array(&data->arrays[0], shared, length, 2, &data->buffers[0], 0, nullptr);
  std::size_t list = columns;
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    const Target& target = targets_[i];
    const void** buffers = &data->buffers[2 * (i + 1)];
    if (target.list_size == 0) {
      set_array(&data->arrays[i + 1], shared, length, 2, buffers, 0, nullptr);
      continue;
    }
    set_array(&data->arrays[list], shared, length * target.list_size, 2, buffers, 0, nullptr);
    set_array(&data->arrays[i + 1], shared, length, 1, buffers, 1, &data->children[list]);
    ++list;
  }
  data->holders.store(data->arrays.size() + 1, std::memory_order_relaxed);
  nanoarrow::UniqueArray out;
  set_array(out.get(), data.release(), length, 1, &shared->buffers[2 * columns], static_cast<std::int64_t>(columns),
            shared->children.data());
  return out;
}

Status LiveBatchPlan::write(const LiveRows& rows, std::uint64_t first, std::span<const std::int32_t> ticks,
                            ByteView records) const {
  const std::uint64_t count = ticks.size();
  if (count == 0 || records.size() != count * stride_ || rows.values.size() != targets_.size() + 1 ||
      first > rows.count || count > rows.count - first) {
    return IbtError::internal("live records of " + std::to_string(records.size()) + " bytes for " +
                              std::to_string(count) + " ticks of " + std::to_string(stride_) + " at row " +
                              std::to_string(first) + " of " + std::to_string(rows.count));
  }
  std::memcpy(rows.values[0] + first * sizeof(std::int32_t), ticks.data(), count * sizeof(std::int32_t));
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    GatherTarget target = targets_[i].gather;
    if (target.kind == GatherKind::Bits) {
      set_bits(target, records, stride_, count, first, rows.values[i + 1]);
      continue;
    }
    target.out = rows.values[i + 1] + first * output_bytes(target.kind, target.width, 1);
    gather_records({&target, 1}, records, stride_, 0, count, false);
  }
  return ok_status();
}

}  // namespace telvane
