// libFuzzer target: arbitrary bytes through the Python-free core, the way one call of `ibt`
// drives it: copy into a read-only mapping, parse, time base, every channel table, laps.
//
// Besides ASan and UBSan, the target checks each step's contract and aborts when it breaks:
// a step returns only the error kinds it can produce, every table has one row per record,
// every channel value equals the file's bytes for it (large column sets live in one mapping,
// where ASan sees no overrun between columns), and a small file never exhausts memory.

#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "arrays/array_table.hpp"
#include "mapping/mapped_region.hpp"
#include "read/read_recording.hpp"
#include "reader/ibt_file.hpp"

namespace {

using telvane::IbtError;

// Record counts are checked against the file size, so tables grow with the file; a file
// this small exhausting memory means a size check is missing.
constexpr std::size_t kSmallInput = std::size_t{1} << 20;

[[noreturn]] void finding(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_ibt: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

// A step may fail only in the ways its contract allows.
template <typename T>
bool failed(const telvane::Result<T>& result, const char* step, std::initializer_list<IbtError::Kind> allowed) {
  if (result.ok()) return false;
  for (IbtError::Kind kind : allowed) {
    if (result.error().kind() == kind) return true;
  }
  finding(step, "unexpected error kind: " + result.error().display());
}

// The mapping covers whole pages; the bytes after the file's end are poisoned so that ASan
// reports a read past the end instead of finding the page's zero fill.
std::span<const std::uint8_t> page_tail(telvane::ByteView bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t mapped = bytes.size() == 0 ? page : (bytes.size() + page - 1) / page * page;
  return {bytes.data() + bytes.size(), mapped - bytes.size()};
}

// Poisons the mapping's bytes after the file's end for as long as it lives.
class PoisonedTail {
public:
  explicit PoisonedTail(std::span<const std::uint8_t> tail) : tail_(tail) {
    ASAN_POISON_MEMORY_REGION(tail_.data(), tail_.size());
  }
  // The region is unmapped by now, and its pages may be mapped again for anything.
  ~PoisonedTail() { ASAN_UNPOISON_MEMORY_REGION(tail_.data(), tail_.size()); }
  PoisonedTail(const PoisonedTail&) = delete;
  PoisonedTail& operator=(const PoisonedTail&) = delete;

private:
  std::span<const std::uint8_t> tail_;
};

// Where record `r` of `var` lies in the record area.
std::uint64_t position(const telvane::IbtFile& ibt, const telvane::VarHeader& var, std::int64_t r) {
  return static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(ibt.header().buf_len) +
         static_cast<std::uint64_t>(var.offset);
}

telvane::ByteView records_of(const telvane::IbtFile& ibt) {
  telvane::Result<telvane::ByteView> area = telvane::record_area(ibt);
  if (!area.ok()) finding("record_area", area.error().display());
  return area.value();
}

void check_timecodes(const telvane::IbtFile& ibt, const telvane::Timecodes& timecodes) {
  if (timecodes.length != ibt.sub_header().session_record_count) {
    finding("read_recording timecodes", "length differs from the record count");
  }
  const telvane::VarHeader& time = *telvane::find_var(ibt, "SessionTime");
  const telvane::ByteView records = records_of(ibt);
  for (std::int64_t r = 0; r < timecodes.length; ++r) {
    const std::optional<double> seconds = records.load<double>(position(ibt, time, r));
    if (!seconds) finding("read_recording timecodes", "a time it read lies outside the records");
    if (timecodes.values()[r] != telvane::seconds_to_timecode(*seconds)) finding("read_recording timecodes", "wrong timecode");
  }
}

// Every row of a channel table holds the bytes (or, for Bool, the "non-zero") of the file.
void check_values(const telvane::IbtFile& ibt, const telvane::VarHeader& var, const telvane::Timecodes& timecodes,
                  const telvane::Column& column) {
  telvane::Result<telvane::RecordBatch> batch = telvane::make_channel_table(timecodes, {column});
  if (failed(batch, "make_channel_table", {})) return;
  if (batch.value().array->length != ibt.sub_header().session_record_count) {
    finding("read_recording channels", "row count differs from the record count");
  }
  const auto* values = static_cast<const std::uint8_t*>(batch.value().array->children[1]->buffers[1]);
  const std::size_t width = telvane::element_size(var.type);
  const telvane::ByteView records = records_of(ibt);
  for (std::int64_t r = 0; r < batch.value().array->length; ++r) {
    const std::optional<telvane::ByteView> stored = records.slice(position(ibt, var, r), width);
    if (!stored) finding("read_recording channels", "a value outside the records was read");
    const bool same = var.type == telvane::VarType::Bool
                          ? ((values[r / 8] >> (r % 8)) & 1) == (stored->data()[0] != 0)
                          : std::memcmp(values + r * width, stored->data(), width) == 0;
    if (!same) finding("read_recording channels", "value of '" + var.name + "' differs from the file");
  }
}

// One table per scalar name, where the name first comes, holding its last variable's values.
void check_channels(const telvane::IbtFile& ibt, const telvane::ScalarChannels& scalars,
                    const telvane::ReadResult& read) {
  const std::vector<telvane::Column>& entries = read.channels;
  if (failed(telvane::make_channel_table(read.timecodes, entries), "make_channel_table", {})) return;
  std::unordered_map<std::string_view, const telvane::VarHeader*> last;
  for (const telvane::VarHeader& var : ibt.vars()) {
    if (var.count == 1) last[var.name] = &var;
  }
  std::size_t counted = 0;
  std::size_t next = 0;
  for (const telvane::VarHeader& var : ibt.vars()) {
    if (var.count != 1) continue;
    if (counted == scalars.new_name.size()) finding("scalar_channels", "a scalar variable is not counted");
    if (!scalars.new_name[counted++]) continue;
    if (next == entries.size()) finding("read_recording channels", "a scalar name has no table");
    check_values(ibt, *last[var.name], read.timecodes, entries[next++]);
  }
  if (next != entries.size()) finding("read_recording channels", "a table for a variable that is not scalar");
}

// Every array table has a row per record, or per sample of a sub-tick array.
void check_arrays(const telvane::IbtFile& ibt, const std::vector<const telvane::VarHeader*>& arrays,
                  const std::vector<telvane::ChannelEntry>& entries) {
  if (entries.size() != arrays.size()) finding("read_recording arrays", "a table is missing");
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    const std::int64_t rows = std::int64_t{ibt.sub_header().session_record_count} *
                              (telvane::is_sub_tick(*arrays[i]) ? arrays[i]->count : 1);
    if (entries[i].batch.array->length != rows) finding("read_recording arrays", "wrong row count");
  }
}

void check_laps(telvane::Result<telvane::RecordBatch>& laps, std::int64_t records) {
  if (failed(laps, "read_recording laps", {IbtError::Kind::OutOfRange})) return;
  if (laps.value().array->length > records) finding("read_recording laps", "more laps than records");
}

// The read ibt makes (every scalar, the lap counter as 32-bit integers), then one of every
// variable with the lap counter read by value. Everything built here is released on
// return, the IbtFile (and so the mapping) last.
void drive(telvane::MappedRegion region) {
  // Live dumps are read as telvane.open reads them; read as a disk recording, they fail.
  telvane::Result<telvane::IbtFile> file =
      telvane::parse_ibt(std::move(region), telvane::RecordCount::Stored, telvane::Layouts::DiskOrLive);
  if (failed(file, "parse_ibt", {IbtError::Kind::InvalidHeader, IbtError::Kind::NotRecording})) return;
  const telvane::IbtFile& ibt = file.value();

  const telvane::ScalarChannels scalars = telvane::scalar_channels(ibt);
  telvane::Result<telvane::ReadResult> read =
      telvane::read_recording(ibt, {scalars.vars, {}, true, telvane::LapCounter::Bits32}, nullptr);
  if (failed(read, "read_recording", {IbtError::Kind::InvalidHeader, IbtError::Kind::OutOfRange})) return;
  check_timecodes(ibt, read.value().timecodes);
  check_channels(ibt, scalars, read.value());
  check_laps(*read.value().laps, read.value().timecodes.length);

  telvane::ReadRequest every{{}, {}, true, telvane::LapCounter::Value};
  for (const telvane::VarHeader& var : ibt.vars()) {
    if (var.count > 1) every.arrays.push_back(&var);
  }
  every.channels = scalars.vars;
  read = telvane::read_recording(ibt, every, nullptr);
  if (failed(read, "read_recording", {IbtError::Kind::InvalidHeader, IbtError::Kind::OutOfRange})) return;
  check_channels(ibt, scalars, read.value());
  check_arrays(ibt, every.arrays, read.value().arrays);
  check_laps(*read.value().laps, read.value().timecodes.length);
}

void run(std::span<const std::uint8_t> input) {
  telvane::Result<telvane::MappedRegion> region = telvane::map_copy(input);
  if (!region.ok()) finding("map_copy", region.error().display());
  const PoisonedTail poisoned(page_tail(region.value().bytes()));
  drive(std::move(region).value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    run({data, size});
  } catch (const std::bad_alloc&) {
    if (size <= kSmallInput) finding("std::bad_alloc", std::to_string(size) + "-byte input");
  }
  return 0;
}
