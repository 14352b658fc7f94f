#include "reader/ibt_file.hpp"

#include <cmath>

#include "bytes/ibt_layout.hpp"
#include "reader/live_dump.hpp"
#include "session_info/session_info.hpp"

namespace telvane {
namespace {

using layout::kFileHeadSize;
using layout::kHeaderSize;
using layout::kVarHeaderSize;

std::string num(std::int64_t value) { return std::to_string(value); }
std::string num(std::uint64_t value) { return std::to_string(value); }

IbtError invalid(std::string message) { return IbtError::invalid_header(std::move(message)); }

IbtError negative(std::string_view field, std::int32_t value) {
  return invalid(std::string(field) + " must be non-negative, got " + num(std::int64_t{value}));
}

IbtHeader read_header(ByteView bytes) {
  IbtHeader header{};
  header.version = bytes.read(layout::kVersion);
  header.tick_rate = bytes.read(layout::kTickRate);
  header.session_info_len = bytes.read(layout::kSessionInfoLen);
  header.session_info_offset = bytes.read(layout::kSessionInfoOffset);
  header.num_vars = bytes.read(layout::kNumVars);
  header.var_header_offset = bytes.read(layout::kVarHeaderOffset);
  header.buf_len = bytes.read(layout::kBufLen);
  header.buf_offset = bytes.read(layout::kBufOffset);
  return header;
}

DiskSubHeader read_sub_header(ByteView bytes) {
  return {bytes.read(layout::kSessionStartDate), bytes.read(layout::kStartTime), bytes.read(layout::kEndTime),
          bytes.read(layout::kLapCount), bytes.read(layout::kSessionRecordCount)};
}

Status parse_var_headers(ByteView bytes, const IbtHeader& header, std::vector<VarHeader>& vars) {
  if (header.var_header_offset < 0) return negative("var_header_offset", header.var_header_offset);
  if (header.num_vars < 0) return negative("num_vars", header.num_vars);
  const auto start = static_cast<std::uint64_t>(header.var_header_offset);
  const std::uint64_t need = start + static_cast<std::uint64_t>(header.num_vars) * kVarHeaderSize;
  if (bytes.size() < need) {
    return invalid("File too small for " + num(std::int64_t{header.num_vars}) + " variable headers at offset " +
                   num(std::int64_t{header.var_header_offset}) + ": " + num(std::uint64_t{bytes.size()}) +
                   " bytes (need " + num(need) + ")");
  }
  vars.reserve(static_cast<std::size_t>(header.num_vars));
  for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(header.num_vars); ++i) {
    Result<VarHeader> var = parse_var_header(*bytes.slice(start + i * kVarHeaderSize, kVarHeaderSize));
    if (!var.ok()) return var.error();
    vars.push_back(std::move(var).value());
  }
  return ok_status();
}

Result<std::string> read_session_info(ByteView bytes, const IbtHeader& header) {
  if (header.session_info_offset < 0) return negative("session_info_offset", header.session_info_offset);
  if (header.session_info_len < 0) return negative("session_info_len", header.session_info_len);
  const auto offset = static_cast<std::uint64_t>(header.session_info_offset);
  const auto length = static_cast<std::uint64_t>(header.session_info_len);
  const std::optional<ByteView> block = bytes.slice(offset, length);
  if (!block) {
    return invalid("File too small for session info: " + num(std::uint64_t{bytes.size()}) + " bytes (need " +
                   num(offset + length) + ")");
  }
  return extract_session_info(*block);
}

Status check_var_extents(const std::vector<VarHeader>& vars, std::int32_t buf_len) {
  if (buf_len < 0) return negative("buf_len", buf_len);
  for (const VarHeader& var : vars) {
    if (var.offset < 0) return negative("var offset", var.offset);
    const std::uint64_t size = std::uint64_t{element_size(var.type)} * static_cast<std::uint64_t>(var.count);
    if (static_cast<std::uint64_t>(var.offset) + size > static_cast<std::uint64_t>(buf_len)) {
      return invalid("Variable '" + var.name + "' offset " + num(std::int64_t{var.offset}) + " + size " +
                     num(size) + " exceeds buffer length " + num(std::int64_t{buf_len}));
    }
  }
  return ok_status();
}

Status check_record_area(ByteView bytes, const IbtHeader& header, const DiskSubHeader& sub_header) {
  if (header.buf_offset < 0) return negative("buf_offset", header.buf_offset);
  const std::int32_t records = sub_header.session_record_count;
  if (records < 0) return negative("session_record_count", records);
  const auto stride = static_cast<std::uint64_t>(header.buf_len);
  const auto offset = static_cast<std::uint64_t>(header.buf_offset);
  // Three non-negative int32 values cannot overflow 64 bits: this check cannot fail. The
  // file format's list of checks names it, so it stays, with its message.
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  if ((stride != 0 && static_cast<std::uint64_t>(records) > kMax / stride) ||
      stride * static_cast<std::uint64_t>(records) > kMax - offset) {
    return invalid("Data region arithmetic overflow");
  }
  const std::uint64_t need = stride * static_cast<std::uint64_t>(records) + offset;
  if (bytes.size() < need) {
    return invalid("File too small for " + num(std::int64_t{records}) + " records: " +
                   num(std::uint64_t{bytes.size()}) + " bytes (need " + num(need) + ")");
  }
  return ok_status();
}

// A time a recording can hold: finite, not negative, under about four months.
bool plausible_time(double seconds) { return std::isfinite(seconds) && seconds >= 0 && seconds < 1e7; }

// The last variable named SessionTime, when it is a double inside a record: the time of
// each record. Else null.
const VarHeader* record_time(const std::vector<VarHeader>& vars, std::uint64_t stride) {
  const VarHeader* time = nullptr;
  for (const VarHeader& var : vars) {
    if (var.name == "SessionTime") time = &var;
  }
  if (time == nullptr || time->type != VarType::Double || static_cast<std::uint64_t>(time->offset) + 8 > stride) {
    return nullptr;
  }
  return time;
}

// How many of `records` records, the first `trusted` of them counted by the header, are
// real: a record past those is one only while its SessionTime is plausible and moves on
// from the record before, or (a new session) moves back while the next moves on from it.
std::uint64_t consistent_records(ByteView area, std::uint64_t stride, const VarHeader* time, std::uint64_t trusted,
                                 std::uint64_t records) {
  if (time == nullptr) return records;
  const auto at = [&](std::uint64_t i) {
    return area.load_unchecked<double>(i * stride + static_cast<std::uint64_t>(time->offset));
  };
  for (std::uint64_t i = trusted; i < records; ++i) {
    const double t = at(i);
    const bool forward = i == 0 || t > at(i - 1);
    const bool restart = i > 0 && i + 1 < records && t < at(i - 1) && at(i + 1) > t;
    if (!plausible_time(t) || !(forward || restart)) return i;
  }
  return records;
}

// A simulator that crashed while recording leaves the header's record count at 0, or past
// the end of the file, over complete records. Those are taken instead, as far as their
// times are those of records; a partial last record is not. With nothing to recover the
// stored count stands, and its checks with it.
void recover_record_count(ByteView bytes, const IbtHeader& header, const std::vector<VarHeader>& vars,
                          DiskSubHeader& sub_header) {
  const std::int32_t stored = sub_header.session_record_count;
  if (header.buf_offset < 0 || header.buf_len <= 0 || stored < 0) return;
  const auto offset = static_cast<std::uint64_t>(header.buf_offset);
  if (offset > bytes.size()) return;
  const auto stride = static_cast<std::uint64_t>(header.buf_len);
  std::uint64_t complete = (bytes.size() - offset) / stride;
  if ((stored != 0 && static_cast<std::uint64_t>(stored) <= complete) || complete == 0) return;
  constexpr std::uint64_t kMaxRecords = 0x7fffffff;
  complete = complete < kMaxRecords ? complete : kMaxRecords;
  const std::uint64_t trusted = stored == 0 ? 0 : complete;
  complete = consistent_records(*bytes.slice(offset, complete * stride), stride, record_time(vars, stride), trusted,
                                complete);
  sub_header.session_record_count = static_cast<std::int32_t>(complete);
}

// The variable headers, the session-info text and the variables' extents in a record,
// checked in that order: what a recording on disk and a live dump share.
Status parse_variables(ByteView bytes, const IbtHeader& header, std::vector<VarHeader>& vars,
                       std::string& session_info) {
  if (Status status = parse_var_headers(bytes, header, vars); !status.ok()) return status;
  Result<std::string> text = read_session_info(bytes, header);
  if (!text.ok()) return text.error();
  session_info = std::move(text).value();
  return check_var_extents(vars, header.buf_len);
}

// The checks of the layout, in their order; the first failure ends the parse.
Status parse_layout(ByteView bytes, RecordCount records, IbtHeader& header, DiskSubHeader& sub_header,
                    std::vector<VarHeader>& vars, std::string& session_info) {
  if (bytes.size() < kHeaderSize) {
    return invalid("File too small for header: " + num(std::uint64_t{bytes.size()}) + " bytes (need " +
                   num(kHeaderSize) + ")");
  }
  const std::int32_t version = bytes.read(layout::kVersion);
  if (version != 1 && version != 2) return IbtError::not_recording("Unsupported IBT version: " + num(std::int64_t{version}));
  header = read_header(bytes);
  if (bytes.size() < kFileHeadSize) {
    return invalid("File too small for disk sub-header: " + num(std::uint64_t{bytes.size()}) + " bytes (need " +
                   num(kFileHeadSize) + ")");
  }
  sub_header = read_sub_header(bytes);
  if (Status status = parse_variables(bytes, header, vars, session_info); !status.ok()) return status;
  if (records == RecordCount::Recovered) recover_record_count(bytes, header, vars, sub_header);
  return check_record_area(bytes, header, sub_header);
}

// A live dump has no disk sub-header: its records are its buffers, their times its span.
Status parse_live_layout(ByteView bytes, IbtHeader& header, DiskSubHeader& sub_header, std::vector<VarHeader>& vars,
                         std::string& session_info, std::vector<std::uint8_t>& records) {
  header = read_header(bytes);
  if (Status status = parse_variables(bytes, header, vars, session_info); !status.ok()) return status;
  LiveRecords live = live_records(bytes, header.buf_len);
  records = std::move(live.bytes);
  sub_header = {};
  sub_header.session_record_count = live.count;
  const auto stride = static_cast<std::uint64_t>(header.buf_len);
  if (const VarHeader* time = record_time(vars, stride); time != nullptr && live.count > 0) {
    const ByteView area(records.data(), records.size());
    const auto offset = static_cast<std::uint64_t>(time->offset);
    sub_header.start_time = area.load_unchecked<double>(offset);
    sub_header.end_time = area.load_unchecked<double>((static_cast<std::uint64_t>(live.count) - 1) * stride + offset);
  }
  return ok_status();
}

}  // namespace

Result<IbtFile> parse_ibt(MappedRegion region, RecordCount records, Layouts layouts) {
  IbtFile file;
  Status layout = ok_status();
  {
    const TruncationGuard guard = region.guard_reads();
    const ByteView bytes = region.bytes();
    if (layouts == Layouts::DiskOrLive && is_live_dump(bytes)) {
      file.live_dump_ = true;
      layout = parse_live_layout(bytes, file.header_, file.sub_header_, file.vars_, file.session_info_,
                                 file.live_records_);
      file.stored_record_count_ = file.sub_header_.session_record_count;
    } else {
      layout = parse_layout(bytes, records, file.header_, file.sub_header_, file.vars_, file.session_info_);
      if (layout.ok()) file.stored_record_count_ = bytes.read(layout::kSessionRecordCount);
      // Read as a recording on disk, a live dump fails one check or another: name it instead.
      if (!layout.ok() && is_live_dump(bytes)) {
        layout = IbtError::live_dump("a live telemetry memory dump, not a recording written to disk");
      }
    }
  }
  if (Status unchanged = region.check_unchanged(); !unchanged.ok()) return unchanged.error();
  if (!layout.ok()) return layout.error();
  for (std::size_t i = 0; i < file.vars_.size(); ++i) file.var_index_.insert_or_assign(file.vars_[i].name, i);
  file.region_ = std::move(region);
  return file;
}

Status check_per_record_read(ByteView records, std::uint64_t count, std::uint64_t stride, std::uint64_t offset,
                             std::uint64_t width) {
  if (count == 0) return ok_status();
  const std::uint64_t last = (count - 1) * stride + offset;
  if (records.contains(last, width)) return ok_status();
  return IbtError::out_of_range_read(last, last + width, records.size());
}

Status check_unchanged(const IbtFile& file) { return file.region_.check_unchanged(); }

const VarHeader* find_var(const IbtFile& file, std::string_view name) {
  const auto found = file.var_index_.find(std::string(name));
  return found == file.var_index_.end() ? nullptr : &file.vars_[found->second];
}

Result<ByteView> record_area(const IbtFile& file) {
  if (file.live_dump_) return ByteView(file.live_records_.data(), file.live_records_.size());
  const IbtHeader& header = file.header();
  // parse_ibt has checked both the offset and that the area lies inside the file, so neither
  // this check nor the slice below can fail; the format's checks name this one at every use.
  if (header.buf_offset < 0) return negative("buf_offset", header.buf_offset);
  const std::int64_t length = std::int64_t{header.buf_len} * std::int64_t{file.sub_header().session_record_count};
  return *file.bytes().slice(static_cast<std::uint64_t>(header.buf_offset), static_cast<std::uint64_t>(length));
}

}  // namespace telvane
