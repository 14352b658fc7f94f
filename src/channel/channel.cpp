#include "channel/channel.hpp"

#include <unordered_map>

namespace telvane {
namespace {

bool interpolates(VarType type) { return type == VarType::Float || type == VarType::Double; }

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

Column channel_column(const VarHeader& var, std::shared_ptr<const ColumnMemory> values) {
  return {var.name, arrow_type(var.type), field_metadata(var), {std::move(values)}};
}

Result<RecordBatch> make_channel_table(const Timecodes& timecodes, std::vector<Column> values) {
  const std::string context = values.size() == 1 ? values.front().name : "channels";
  values.insert(values.begin(), Column{"timecodes", NANOARROW_TYPE_INT64, {}, {timecodes.memory}});
  return make_record_batch(values, timecodes.length, context);
}

ScalarChannels scalar_channels(const IbtFile& file) {
  ScalarChannels channels;
  std::unordered_map<std::string_view, std::size_t> place;
  for (const VarHeader& var : file.vars()) {
    if (var.count != 1) continue;
    const auto [at, new_name] = place.try_emplace(var.name, channels.vars.size());
    channels.new_name.push_back(new_name);
    if (new_name) {
      channels.vars.push_back(&var);
    } else {
      channels.vars[at->second] = &var;
    }
  }
  return channels;
}

}  // namespace telvane
