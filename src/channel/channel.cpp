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

// Records are gathered a block at a time, every column per block, so that each cache line
// of the record area is fetched from memory once rather than once per variable. Measured
// on a one-hour recording, 512 KiB blocks beat 256 KiB ones by a quarter (1 MiB of L2).
constexpr std::uint64_t kBlockBytes = 512 * 1024;

std::uint64_t block_records(std::uint64_t stride) {
  const std::uint64_t records = stride == 0 ? kBlockBytes : kBlockBytes / stride;
  return records < 8 ? 8 : records / 8 * 8;  // whole bitmap bytes per block
}

template <typename T>
void copy_strided(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint8_t* out) {
  for (std::uint64_t i = 0; i < count; ++i) std::memcpy(out + i * sizeof(T), in + i * stride, sizeof(T));
}

// Packs "byte is non-zero" into an Arrow bitmap, least significant bit first; `out` starts
// at a whole byte of the bitmap.
void pack_bits(const std::uint8_t* in, std::uint64_t stride, std::uint64_t count, std::uint8_t* out) {
  for (std::uint64_t i = 0; i < count; i += 8) {
    std::uint8_t bits = 0;
    for (std::uint64_t j = 0; j < 8 && i + j < count; ++j) {
      bits |= static_cast<std::uint8_t>((in[(i + j) * stride] != 0) << j);
    }
    out[i / 8] = bits;
  }
}

/// One scalar column being gathered: where its values lie and where they go.
struct Gather {
  const VarHeader* var;
  std::shared_ptr<ColumnMemory> values;
};

std::size_t values_size(VarType type, std::uint64_t count) {
  return type == VarType::Bool ? (count + 7) / 8 : count * element_size(type);
}

// Copies records [first, first + count) of one variable into its column.
void gather_range(const Gather& gather, ByteView records, std::uint64_t stride, std::uint64_t first,
                  std::uint64_t count) {
  const std::uint8_t* in = records.data() + first * stride + static_cast<std::uint64_t>(gather.var->offset);
  std::uint8_t* out = gather.values->data();
  switch (gather.var->type) {
    case VarType::Bool: return pack_bits(in, stride, count, out + first / 8);
    case VarType::Char: return copy_strided<std::uint8_t>(in, stride, count, out + first);
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float: return copy_strided<std::uint32_t>(in, stride, count, out + first * 4);
    case VarType::Double: return copy_strided<std::uint64_t>(in, stride, count, out + first * 8);
  }
}

void gather_all(const std::vector<Gather>& gathers, ByteView records, std::uint64_t stride, std::uint64_t count) {
  const std::uint64_t block = block_records(stride);
  for (std::uint64_t first = 0; first < count; first += block) {
    const std::uint64_t n = count - first < block ? count - first : block;
    for (const Gather& gather : gathers) gather_range(gather, records, stride, first, n);
  }
}

Result<RecordBatch> make_channel(const std::string& name, const Timecodes& timecodes, const VarHeader& var,
                                 std::shared_ptr<ColumnMemory> values, std::int32_t record_count) {
  std::vector<std::pair<std::string, std::string>> metadata{
      {"units", var.unit}, {"desc", var.desc}, {"interpolate", interpolates(var.type) ? "True" : "False"}};
  const Column columns[] = {
      {"timecodes", NANOARROW_TYPE_INT64, {}, {timecodes.memory}},
      {name, arrow_type(var.type), std::move(metadata), {std::move(values)}},
  };
  return make_record_batch(columns, record_count, name);
}

}  // namespace

Result<std::vector<ChannelEntry>> build_channels(const IbtFile& file, const Timecodes& timecodes) {
  const TruncationGuard guard = file.guard_reads();
  Result<ByteView> records = record_area(file);
  if (!records.ok()) return records.error();
  const std::int32_t record_count = file.sub_header().session_record_count;
  std::vector<Gather> gathers;
  std::vector<std::size_t> sizes;
  for (const VarHeader& var : file.vars()) {
    if (var.count != 1) continue;
    gathers.push_back({&var, nullptr});
    sizes.push_back(values_size(var.type, static_cast<std::uint64_t>(record_count)));
  }
  std::vector<std::shared_ptr<ColumnMemory>> columns = ColumnMemory::allocate_all(sizes);
  for (std::size_t i = 0; i < gathers.size(); ++i) gathers[i].values = std::move(columns[i]);
  gather_all(gathers, records.value(), static_cast<std::uint64_t>(file.header().buf_len),
             static_cast<std::uint64_t>(record_count));
  std::vector<ChannelEntry> entries;
  entries.reserve(gathers.size());
  for (Gather& gather : gathers) {
    Result<RecordBatch> batch =
        make_channel(gather.var->name, timecodes, *gather.var, std::move(gather.values), record_count);
    if (!batch.ok()) return batch.error();
    entries.push_back({gather.var->name, std::move(batch).value()});
  }
  return entries;
}

}  // namespace telvane
