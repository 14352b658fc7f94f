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
  for (const Target& target : plan.targets_) {
    const ByteView one(record.data(), record.size());
    if (Status inside = check_per_record_read(one, 1, stride, target.gather.offset, target.gather.width); !inside.ok()) {
      return inside.error();
    }
  }
  Result<nanoarrow::UniqueSchema> schema = make_schema(columns, kContext);
  if (!schema.ok()) return schema.error();
  plan.schema_ = std::move(schema).value();
  const std::int32_t tick = 0;
  Result<nanoarrow::UniqueArray> sample = plan.batch({&tick, 1}, ByteView(record.data(), record.size()));
  if (!sample.ok()) return sample.error();
  if (Status valid = validate_batch(plan.schema(), sample.value().get(), kContext); !valid.ok()) return valid.error();
  return plan;
}

Result<nanoarrow::UniqueArray> LiveBatchPlan::batch(std::span<const std::int32_t> ticks, ByteView records) const {
  const std::uint64_t count = ticks.size();
  if (count == 0 || records.size() != count * stride_) {
    return IbtError::internal("live records of " + std::to_string(records.size()) + " bytes for " +
                              std::to_string(count) + " ticks of " + std::to_string(stride_));
  }
  nanoarrow::UniqueArray out;
  fill(out.get(), ticks, records);
  return out;
}

void LiveBatchPlan::fill(ArrowArray* out, std::span<const std::int32_t> ticks, ByteView records) const {
  const std::uint64_t count = ticks.size();
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

  std::uint64_t* next = data->values.data();
  std::memcpy(next, ticks.data(), count * sizeof(std::int32_t));
  data->buffers[1] = next;
  next += words(count * sizeof(std::int32_t));
  std::vector<GatherTarget> gathers;
  gathers.reserve(targets_.size());
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    gathers.push_back(targets_[i].gather);
    gathers.back().out = reinterpret_cast<std::uint8_t*>(next);
    data->buffers[2 * (i + 1) + 1] = next;
    next += words(output_bytes(targets_[i].gather.kind, targets_[i].gather.width, count));
  }
  gather_records(gathers, records, stride_, 0, count, false);

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
  set_array(out, data.release(), length, 1, &shared->buffers[2 * columns], static_cast<std::int64_t>(columns),
            shared->children.data());
}

}  // namespace telvane
