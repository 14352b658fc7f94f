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

#include "channel/channel.hpp"
#include "laps/laps.hpp"
#include "reader/ibt_file.hpp"
#include "mapping/mapped_region.hpp"
#include "timecodes/timecodes.hpp"

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

// Where record `r` of `var` lies in the file.
std::uint64_t position(const telvane::IbtFile& ibt, const telvane::VarHeader& var, std::int64_t r) {
  return static_cast<std::uint64_t>(ibt.header().buf_offset) +
         static_cast<std::uint64_t>(r) * static_cast<std::uint64_t>(ibt.header().buf_len) +
         static_cast<std::uint64_t>(var.offset);
}

void check_timecodes(const telvane::IbtFile& ibt, const telvane::Timecodes& timecodes) {
  if (timecodes.length != ibt.sub_header().session_record_count) {
    finding("build_timecodes", "length differs from the record count");
  }
  const telvane::VarHeader& time = *telvane::find_var(ibt, "SessionTime");
  for (std::int64_t r = 0; r < timecodes.length; ++r) {
    const std::optional<double> seconds = ibt.bytes().load<double>(position(ibt, time, r));
    if (!seconds) finding("build_timecodes", "a time it read lies outside the file");
    if (timecodes.values()[r] != telvane::seconds_to_timecode(*seconds)) finding("build_timecodes", "wrong timecode");
  }
}

// Every row of a channel table holds the bytes (or, for Bool, the "non-zero") of the file.
void check_values(const telvane::IbtFile& ibt, const telvane::VarHeader& var, const telvane::RecordBatch& batch) {
  if (batch.array->length != ibt.sub_header().session_record_count) {
    finding("build_channels", "row count differs from the record count");
  }
  const auto* values = static_cast<const std::uint8_t*>(batch.array->children[1]->buffers[1]);
  const std::size_t width = telvane::element_size(var.type);
  for (std::int64_t r = 0; r < batch.array->length; ++r) {
    const std::optional<telvane::ByteView> stored = ibt.bytes().slice(position(ibt, var, r), width);
    if (!stored) finding("build_channels", "a value outside the file was read");
    const bool same = var.type == telvane::VarType::Bool
                          ? ((values[r / 8] >> (r % 8)) & 1) == (stored->data()[0] != 0)
                          : std::memcmp(values + r * width, stored->data(), width) == 0;
    if (!same) finding("build_channels", "value of '" + var.name + "' differs from the file");
  }
}

// One table per scalar name, where the name first comes, holding its last variable's values.
void check_channels(const telvane::IbtFile& ibt, const telvane::Timecodes& timecodes) {
  telvane::Result<telvane::Channels> channels = telvane::build_channels(ibt, timecodes);
  if (failed(channels, "build_channels", {})) return;
  const std::vector<telvane::ChannelEntry>& entries = channels.value().entries;
  std::unordered_map<std::string_view, const telvane::VarHeader*> last;
  for (const telvane::VarHeader& var : ibt.vars()) {
    if (var.count == 1) last[var.name] = &var;
  }
  std::size_t scalars = 0;
  std::size_t next = 0;
  for (const telvane::VarHeader& var : ibt.vars()) {
    if (var.count != 1) continue;
    if (scalars == channels.value().new_name.size()) finding("build_channels", "a scalar variable is not counted");
    if (!channels.value().new_name[scalars++]) continue;
    if (next == entries.size()) finding("build_channels", "a scalar name has no table");
    check_values(ibt, *last[var.name], entries[next++].batch);
  }
  if (next != entries.size()) finding("build_channels", "a table for a variable that is not scalar");
}

// Everything built here is released on return, the IbtFile (and so the mapping) last.
void drive(telvane::MappedRegion region) {
  telvane::Result<telvane::IbtFile> file = telvane::parse_ibt(std::move(region));
  if (failed(file, "parse_ibt", {IbtError::Kind::InvalidHeader})) return;
  const telvane::IbtFile& ibt = file.value();

  telvane::Result<telvane::Timecodes> timecodes = telvane::build_timecodes(ibt);
  if (failed(timecodes, "build_timecodes", {IbtError::Kind::InvalidHeader, IbtError::Kind::Internal})) return;
  check_timecodes(ibt, timecodes.value());
  check_channels(ibt, timecodes.value());

  telvane::Result<telvane::RecordBatch> laps = telvane::build_laps_table(ibt, timecodes.value());
  if (failed(laps, "build_laps_table", {IbtError::Kind::Internal})) return;
  if (laps.value().array->length > timecodes.value().length) finding("build_laps_table", "more laps than records");
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
