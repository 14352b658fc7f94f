#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"
#include "mapping/mapped_region.hpp"
#include "var_header/var_header.hpp"

namespace telvane {

/// The fields of the 112-byte main header that the reader uses.
struct IbtHeader {
  std::int32_t version;
  std::int32_t tick_rate;
  std::int32_t session_info_len;
  std::int32_t session_info_offset;
  std::int32_t num_vars;
  std::int32_t var_header_offset;
  std::int32_t buf_len;
  std::int32_t buf_offset;  // of buffer descriptor 0: the record area
};

/// The 32-byte disk sub-header at offset 112.
struct DiskSubHeader {
  std::int64_t session_start_date;
  double start_time;
  double end_time;
  std::int32_t lap_count;
  std::int32_t session_record_count;
};

/// Which record count a parse takes.
enum class RecordCount {
  Stored,     ///< the header's; a file too short for it is refused
  Recovered,  ///< every complete record to the end of the file when the header says 0 or more than it holds
};

/// Which layouts a parse reads.
enum class Layouts {
  Disk,        ///< a recording written to disk; a live dump is refused, named as one
  DiskOrLive,  ///< also a dump of the live telemetry memory, whose buffers become the records
};

/// A parsed, validated IBT file; owns its mapping and never changes after parse_ibt.
class IbtFile {
public:
  [[nodiscard]] const IbtHeader& header() const noexcept { return header_; }
  [[nodiscard]] const DiskSubHeader& sub_header() const noexcept { return sub_header_; }
  [[nodiscard]] const std::vector<VarHeader>& vars() const noexcept { return vars_; }
  [[nodiscard]] const std::string& session_info() const noexcept { return session_info_; }
  [[nodiscard]] ByteView bytes() const noexcept { return region_.bytes(); }
  /// Guards this thread's reads of bytes() against the file shrinking under them; every
  /// function reading the records holds one while it reads.
  [[nodiscard]] TruncationGuard guard_reads() const { return region_.guard_reads(); }
  /// The header's record count; sub_header() holds the records read, which differ after a recovery.
  [[nodiscard]] std::int32_t stored_record_count() const noexcept { return stored_record_count_; }
  /// True for a live dump: its records are copies of its buffers, not a part of bytes().
  [[nodiscard]] bool live_dump() const noexcept { return live_dump_; }

private:
  friend Result<IbtFile> parse_ibt(MappedRegion region, RecordCount records, Layouts layouts);
  friend Result<ByteView> record_area(const IbtFile& file);
  friend const VarHeader* find_var(const IbtFile& file, std::string_view name);
  friend Status check_unchanged(const IbtFile& file);

  MappedRegion region_;
  IbtHeader header_{};
  DiskSubHeader sub_header_{};
  std::vector<VarHeader> vars_;
  std::unordered_map<std::string, std::size_t> var_index_;  // a later duplicate name wins
  std::string session_info_;
  std::int32_t stored_record_count_ = 0;
  bool live_dump_ = false;
  std::vector<std::uint8_t> live_records_;
};

/// Validates the layout of the file in `region` and takes the region over.
[[nodiscard]] Result<IbtFile> parse_ibt(MappedRegion region, RecordCount records = RecordCount::Stored,
                                        Layouts layouts = Layouts::Disk);

/// Checks a read of `width` bytes at `offset` in each of `count` records of `stride` bytes
/// against the record area; the reads advance by a record each, so the last one decides.
/// A read leaving the area is a defect the parse did not rule out: the Internal kind.
[[nodiscard]] Status check_per_record_read(ByteView records, std::uint64_t count, std::uint64_t stride,
                                           std::uint64_t offset, std::uint64_t width);

/// Fails with an Io error when the file changed after it was opened (see
/// MappedRegion::check_unchanged): nothing built from what was read may be returned then.
[[nodiscard]] Status check_unchanged(const IbtFile& file);

/// The variable named exactly `name` (the later one of duplicates), or nullptr.
[[nodiscard]] const VarHeader* find_var(const IbtFile& file, std::string_view name);

/// The read-only bytes of all records: `buf_len` × `session_record_count` from `buf_offset`
/// (of a live dump, the copies of its buffers).
[[nodiscard]] Result<ByteView> record_area(const IbtFile& file);

}  // namespace telvane
