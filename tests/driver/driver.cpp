// Runs the core over IBT files, each read by path and again from a copy of its bytes, and
// prints a digest of every result or error text: the reader, the time base, the channel
// gather and the laps. Builds for different platforms must print the same, byte for byte.
//
// Usage: telvane_driver FILE...

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "channel/channel.hpp"
#include "laps/laps.hpp"
#include "mapping/mapped_region.hpp"
#include "read/read_recording.hpp"
#include "reader/ibt_file.hpp"
#include "timecodes/timecodes.hpp"

namespace {

using namespace telvane;

// FNV-1a over bytes, printed in hex.
class Digest {
public:
  Digest& add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ bytes[i]) * 0x100000001b3ULL;
    return *this;
  }
  Digest& add(std::string_view text) { return add(text.data(), text.size()).add(text.size()); }
  template <typename T>
  Digest& add(T value) {
    return add(&value, sizeof(T));
  }
  [[nodiscard]] std::string hex() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 0; i < 16; ++i) text[15 - i] = kDigits[(hash_ >> (4 * i)) & 0xF];
    return text;
  }

private:
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

std::string num(std::int64_t value) { return std::to_string(value); }

std::string header_line(const IbtFile& file) {
  const IbtHeader& h = file.header();
  const DiskSubHeader& s = file.sub_header();
  Digest digest;
  digest.add(h.version).add(h.tick_rate).add(h.session_info_len).add(h.session_info_offset).add(h.num_vars);
  digest.add(h.var_header_offset).add(h.buf_len).add(h.buf_offset);
  digest.add(s.session_start_date).add(s.start_time).add(s.end_time).add(s.lap_count).add(s.session_record_count);
  Digest vars;
  for (const VarHeader& var : file.vars()) {
    vars.add(static_cast<std::uint32_t>(var.type)).add(var.offset).add(var.count);
    vars.add(std::string_view(var.name)).add(std::string_view(var.desc)).add(std::string_view(var.unit));
  }
  return "header " + digest.hex() + " vars " + num(static_cast<std::int64_t>(file.vars().size())) + " " + vars.hex() +
         " session_info " + Digest().add(std::string_view(file.session_info())).hex() + "\n";
}

std::size_t values_size(const ArrowSchema& field, std::int64_t rows) {
  const auto n = static_cast<std::size_t>(rows);
  switch (field.format[0]) {
    case 'b': return (n + 7) / 8;
    case 'C': return n;
    case 'g': return n * 8;
    default: return n * 4;
  }
}

std::string channel_line(const ChannelEntry& entry) {
  const ArrowArray& values = *entry.batch.array->children[1];
  const ArrowSchema& field = *entry.batch.schema->children[1];
  Digest digest;
  digest.add(values.buffers[1], values_size(field, values.length));
  return "channel " + Digest().add(std::string_view(entry.name)).hex() + " " + field.format + " " +
         num(values.length) + " " + digest.hex() + "\n";
}

std::string laps_lines(const IbtFile& file, const Timecodes& timecodes) {
  Result<std::vector<LapEntry>> laps = detect_laps(file, timecodes);
  if (!laps.ok()) return "laps error " + laps.error().display() + "\n";
  Digest digest;
  for (const LapEntry& lap : laps.value()) {
    digest.add(lap.num).add(lap.start_time).add(lap.end_time).add(lap_type_text(lap.lap_type)).add(lap.session);
  }
  std::string text = "laps " + num(static_cast<std::int64_t>(laps.value().size())) + " " + digest.hex() + "\n";
  Result<RecordBatch> table = build_laps_table(file, timecodes);
  return text + (table.ok() ? "laps table " + num(table.value().array->length) + "\n"
                            : "laps table error " + table.error().display() + "\n");
}

// One read of every variable: the channels as build_channels gives them, each array's values
// and the number of laps.
std::string read_lines(const IbtFile& file) {
  ReadRequest request;
  request.laps = true;
  for (const VarHeader& var : file.vars()) {
    if (var.count > 1) request.arrays.push_back(&var);
    if (var.count == 1 && find_var(file, var.name) == &var) request.channels.push_back(&var);
  }
  Result<ReadResult> read = read_recording(file, request, nullptr);
  if (!read.ok()) return "read error " + read.error().display() + "\n";
  std::string text;
  for (const ChannelEntry& entry : read.value().channels) text += "read " + channel_line(entry);
  for (const ChannelEntry& entry : read.value().arrays) {
    const ArrowArray* values = entry.batch.array->children[1];
    const ArrowSchema* element = entry.batch.schema->children[1];
    if (element->n_children == 1) {  // a fixed-size list: its elements
      values = values->children[0];
      element = element->children[0];
    }
    const ArrowArray& times = *entry.batch.array->children[0];
    Digest digest;
    digest.add(times.buffers[1], static_cast<std::size_t>(times.length) * 8);
    digest.add(values->buffers[1], values_size(*element, values->length));
    text += "array " + num(values->length) + " " + digest.hex() + "\n";
  }
  return text + "read laps " + num(read.value().laps->array->length) + "\n";
}

std::string digest_of(Result<MappedRegion> region) {
  if (!region.ok()) return "error " + region.error().display() + "\n";
  Result<IbtFile> parsed = parse_ibt(std::move(region).value());
  if (!parsed.ok()) return "error " + parsed.error().display() + "\n";
  const IbtFile& file = parsed.value();
  std::string text = header_line(file);
  Result<Timecodes> timecodes = build_timecodes(file);
  if (!timecodes.ok()) return text + "timecodes error " + timecodes.error().display() + "\n";
  text += "timecodes " + num(timecodes.value().length) + " " +
          Digest().add(timecodes.value().values(), static_cast<std::size_t>(timecodes.value().length) * 8).hex() +
          "\n";
  Result<Channels> channels = build_channels(file, timecodes.value());
  if (channels.ok()) {
    for (const ChannelEntry& entry : channels.value().entries) text += channel_line(entry);
  } else {
    text += "channels error " + channels.error().display() + "\n";
  }
  text += laps_lines(file, timecodes.value());
  text += read_lines(file);
  const Status unchanged = check_unchanged(file);
  return text + (unchanged.ok() ? "unchanged\n" : "changed " + unchanged.error().display() + "\n");
}

// A copy of larger files would only cost memory: the large-file check maps a sparse file of
// more than 4 GiB, whose copy reads the same as the mapping anyway.
constexpr std::uintmax_t kLargestCopy = std::uintmax_t{64} << 20;

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    const std::string by_path = digest_of(map_file(path));
    std::fputs(("== " + path + "\n" + by_path).c_str(), stdout);
    std::error_code error;
    if (std::filesystem::file_size(path, error) > kLargestCopy && !error) {
      std::fputs("bytes: not copied\n", stdout);
      continue;
    }
    std::ifstream stream(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    const std::string by_bytes = digest_of(map_copy(bytes));
    std::fputs(by_bytes == by_path ? "bytes: same\n" : ("bytes:\n" + by_bytes).c_str(), stdout);
  }
  return 0;
}
