#include "channel/channel.hpp"

#include <cstring>

namespace telvane {
namespace {

ArrowType arrow_type(VarType type) {
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

bool interpolates(VarType type) { return type == VarType::Float || type == VarType::Double; }

// Copies each record's value bytes into one contiguous column.
std::shared_ptr<ColumnMemory> gather_values(ByteView records, std::uint64_t offset, std::uint64_t stride,
                                            std::uint64_t count, std::size_t width) {
  auto column = ColumnMemory::allocate(count * width);
  std::uint8_t* out = column->data();
  const std::uint8_t* in = records.data() + offset;
  for (std::uint64_t i = 0; i < count; ++i) std::memcpy(out + i * width, in + i * stride, width);
  return column;
}

// Packs "non-zero byte" into an Arrow bitmap, least significant bit first.
std::shared_ptr<ColumnMemory> gather_bits(ByteView records, std::uint64_t offset, std::uint64_t stride,
                                          std::uint64_t count) {
  auto column = ColumnMemory::allocate((count + 7) / 8);
  std::uint8_t* out = column->data();
  std::memset(out, 0, column->size());
  const std::uint8_t* in = records.data() + offset;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (in[i * stride] != 0) out[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return column;
}

}  // namespace

Result<RecordBatch> build_channel(const std::string& name, const Timecodes& timecodes, const VarHeader& var,
                                  ByteView records, std::int32_t buf_len, std::int32_t record_count) {
  std::vector<std::pair<std::string, std::string>> metadata{
      {"units", var.unit}, {"desc", var.desc}, {"interpolate", interpolates(var.type) ? "True" : "False"}};
  if (var.count > 1) return IbtError::out_of_bounds("Array variables (count > 1) are not supported");

  const auto offset = static_cast<std::uint64_t>(var.offset);
  const auto stride = static_cast<std::uint64_t>(buf_len);
  const auto count = static_cast<std::uint64_t>(record_count);
  std::shared_ptr<ColumnMemory> values = var.type == VarType::Bool
                                             ? gather_bits(records, offset, stride, count)
                                             : gather_values(records, offset, stride, count, element_size(var.type));
  const Column columns[] = {
      {"timecodes", NANOARROW_TYPE_INT64, {}, {timecodes.memory}},
      {name, arrow_type(var.type), std::move(metadata), {std::move(values)}},
  };
  return make_record_batch(columns, record_count, name);
}

Result<std::vector<ChannelEntry>> build_channels(const IbtFile& file, const Timecodes& timecodes) {
  Result<ByteView> records = record_area(file);
  if (!records.ok()) return records.error();
  std::vector<ChannelEntry> entries;
  for (const VarHeader& var : file.vars()) {
    if (var.count != 1) continue;
    Result<RecordBatch> batch = build_channel(var.name, timecodes, var, records.value(), file.header().buf_len,
                                              file.sub_header().session_record_count);
    if (!batch.ok()) return batch.error();
    entries.push_back({var.name, std::move(batch).value()});
  }
  return entries;
}

}  // namespace telvane
