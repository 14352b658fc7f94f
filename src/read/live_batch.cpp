#include "read/live_batch.hpp"

#include <cstring>
#include <vector>

#include "channel/channel.hpp"
#include "gather/gather.hpp"
#include "reader/ibt_file.hpp"

namespace telvane {

Result<RecordBatch> live_batch(std::span<const std::int32_t> ticks, ByteView records, std::uint64_t stride,
                               const VarHeader& session_time, std::span<const VarHeader* const> vars) {
  const std::uint64_t count = ticks.size();
  if (count == 0 || records.size() != count * stride) {
    return IbtError::internal("live records of " + std::to_string(records.size()) + " bytes for " +
                              std::to_string(count) + " ticks of " + std::to_string(stride));
  }
  std::vector<GatherTarget> targets{
      {GatherKind::Timecodes, static_cast<std::uint64_t>(session_time.offset), 8, nullptr}};
  for (const VarHeader* var : vars) {
    targets.push_back({var->type == VarType::Bool ? GatherKind::Bits : GatherKind::Copy,
                       static_cast<std::uint64_t>(var->offset),
                       std::uint64_t{element_size(var->type)} * static_cast<std::uint64_t>(var->count), nullptr});
  }
  std::vector<std::size_t> sizes{count * sizeof(std::int32_t)};
  for (const GatherTarget& target : targets) {
    if (Status inside = check_per_record_read(records, count, stride, target.offset, target.width); !inside.ok()) {
      return inside.error();
    }
    sizes.push_back(output_bytes(target.kind, target.width, count));
  }
  const std::vector<std::shared_ptr<ColumnMemory>> memory = ColumnMemory::allocate_all(sizes);
  std::memcpy(memory[0]->data(), ticks.data(), count * sizeof(std::int32_t));
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i].out = memory[i + 1]->data();
  gather_records(targets, records, stride, 0, count, false);
  std::vector<Column> columns{{"tick", NANOARROW_TYPE_INT32, {}, {memory[0]}},
                              {"timecodes", NANOARROW_TYPE_INT64, {}, {memory[1]}}};
  for (std::size_t i = 0; i < vars.size(); ++i) {
    const VarHeader& var = *vars[i];
    columns.push_back({var.name, arrow_type(var.type), field_metadata(var), {memory[i + 2]}, var.count > 1 ? var.count : 0});
  }
  return make_record_batch(columns, static_cast<std::int64_t>(count), "live telemetry");
}

}  // namespace telvane
