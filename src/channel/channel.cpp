#include "channel/channel.hpp"

#include <unordered_map>

#include "gather/gather.hpp"

namespace telvane {
namespace {

bool interpolates(VarType type) { return type == VarType::Float || type == VarType::Double; }

// Output far beyond the caches is written with non-temporal stores (see gather_records).
constexpr std::uint64_t kStreamingBytes = std::uint64_t{32} << 20;

}  // namespace

ArrowType arrow_type(VarType type) noexcept {
  switch (type) {
    case VarType::Char: return NANOARROW_TYPE_UINT8;
    case VarType::Bool: return NANOARROW_TYPE_BOOL;
    case VarType::Int: return NANOARROW_TYPE_INT32;
    case VarType::BitField: return NANOARROW_TYPE_UINT32;
    case VarType::Float: return NANOARROW_TYPE_FLOAT;
    case VarType::Double: return NANOARROW_TYPE_DOUBLE;
  }
  return NANOARROW_TYPE_NA;
}

std::vector<std::pair<std::string, std::string>> field_metadata(const VarHeader& var) {
  return {{"units", var.unit}, {"desc", var.desc}, {"interpolate", interpolates(var.type) ? "True" : "False"}};
}

Result<RecordBatch> make_channel_table(const VarHeader& var, const Timecodes& timecodes,
                                       std::shared_ptr<const ColumnMemory> values) {
  const Column columns[] = {
      {"timecodes", NANOARROW_TYPE_INT64, {}, {timecodes.memory}},
      {var.name, arrow_type(var.type), field_metadata(var), {std::move(values)}},
  };
  return make_record_batch(columns, timecodes.length, var.name);
}

Result<Channels> build_channels(const IbtFile& file, const Timecodes& timecodes) {
  const TruncationGuard guard = file.guard_reads();
  Result<ByteView> records = record_area(file);
  if (!records.ok()) return records.error();
  const auto count = static_cast<std::uint64_t>(file.sub_header().session_record_count);
  Channels channels;
  std::vector<const VarHeader*> vars;  // the last scalar of each name, in the order of the names
  std::unordered_map<std::string_view, std::size_t> place;
  for (const VarHeader& var : file.vars()) {
    if (var.count != 1) continue;
    const auto [at, new_name] = place.try_emplace(var.name, vars.size());
    channels.new_name.push_back(new_name);
    if (new_name) {
      vars.push_back(&var);
    } else {
      vars[at->second] = &var;
    }
  }
  std::vector<GatherTarget> targets;
  std::vector<std::size_t> sizes;
  std::uint64_t output = 0;
  for (const VarHeader* var : vars) {
    const GatherKind kind = var->type == VarType::Bool ? GatherKind::Bits : GatherKind::Copy;
    targets.push_back({kind, static_cast<std::uint64_t>(var->offset), element_size(var->type), nullptr});
    sizes.push_back(output_bytes(kind, targets.back().width, count));
    output += sizes.back();
  }
  std::vector<std::shared_ptr<ColumnMemory>> columns = ColumnMemory::allocate_all(sizes);
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i].out = columns[i]->data();
  const bool streaming = output >= kStreamingBytes;
  gather_records(targets, records.value(), static_cast<std::uint64_t>(file.header().buf_len), 0, count, streaming);
  if (streaming) finish_streaming();
  channels.entries.reserve(vars.size());
  for (std::size_t i = 0; i < vars.size(); ++i) {
    Result<RecordBatch> batch = make_channel_table(*vars[i], timecodes, std::move(columns[i]));
    if (!batch.ok()) return batch.error();
    channels.entries.push_back({vars[i]->name, std::move(batch).value()});
  }
  return channels;
}

}  // namespace telvane
