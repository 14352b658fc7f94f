// Runs the core over IBT files, each read by path and again from a copy of its bytes, and
// prints a digest of every table or error text: the headers, the channels, the laps and one
// read of every variable. Builds for different platforms must print the same, byte for byte.
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

#include "laps/laps.hpp"
#include "read/read_recording.hpp"

namespace {

using namespace telvane;

// FNV-1a over bytes.
struct Digest {
  std::uint64_t hash = 0xcbf29ce484222325ULL;

  Digest& add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    return *this;
  }
  Digest& add(std::string_view text) { return add(text.data(), text.size()); }
  std::string line(const std::string& what) const { return what + " " + std::to_string(hash) + "\n"; }
};

// The names, types and metadata of a field and its children, and every buffer of their values.
void add_array(Digest& digest, const ArrowSchema& field, const ArrowArrayView& view) {
  digest.add(field.format).add(field.name ? field.name : "");
  digest.add(field.metadata, ArrowMetadataSizeOf(field.metadata));
  for (const ArrowBufferView& buffer : view.buffer_views) digest.add(buffer.data.data, buffer.size_bytes);
  for (std::int64_t i = 0; i < view.n_children; ++i) add_array(digest, *field.children[i], *view.children[i]);
}

std::string table_line(const std::string& what, const ChannelEntry& entry) {
  nanoarrow::UniqueArrayView view;
  ArrowArrayViewInitFromSchema(view.get(), entry.batch.schema.get(), nullptr);
  ArrowArrayViewSetArray(view.get(), entry.batch.array.get(), nullptr);
  Digest digest;
  add_array(digest.add(entry.name), *entry.batch.schema.get(), *view.get());
  return digest.line(what + " " + std::to_string(entry.batch.array->length));
}

std::string error_line(const std::string& what, const IbtError& error) {
  return what + " error " + error.display() + "\n";
}

std::string read_lines(const std::string& what, const IbtFile& file, const ReadRequest& request) {
  Result<ReadResult> read = read_recording(file, request, nullptr);
  if (!read.ok()) return error_line(what, read.error());
  std::string text;
  for (const Column& column : read.value().channels) {
    Result<RecordBatch> table = make_channel_table(read.value().timecodes, {column});
    text += table.ok() ? table_line(what + " channel", {column.name, std::move(table).value()})
                       : error_line(what + " channel", table.error());
  }
  for (const ChannelEntry& entry : read.value().arrays) text += table_line(what + " array", entry);
  Result<RecordBatch>& laps = *read.value().laps;
  return text + (laps.ok() ? table_line(what + " laps", {"", std::move(laps).value()})
                           : error_line(what + " laps", laps.error()));
}

// The headers, then the tables as ibt takes them (its lap counter read as 32-bit integers),
// then one read of every variable with the lap counter read by value.
std::string digest_of(Result<MappedRegion> region) {
  if (!region.ok()) return error_line("map", region.error());
  Result<IbtFile> parsed = parse_ibt(std::move(region).value());
  if (!parsed.ok()) return error_line("parse", parsed.error());
  const IbtFile& file = parsed.value();
  Digest headers;
  headers.add(&file.header(), sizeof(IbtHeader)).add(&file.sub_header(), sizeof(DiskSubHeader));
  std::string text = headers.add(file.session_info()).line("headers");
  text += read_lines("ibt", file, {scalar_channels(file).vars, {}, true, LapCounter::Bits32});
  ReadRequest every{{}, {}, true, LapCounter::Value};
  for (const VarHeader& var : file.vars()) {
    if (var.count > 1) every.arrays.push_back(&var);
    if (var.count == 1 && find_var(file, var.name) == &var) every.channels.push_back(&var);
  }
  text += read_lines("read", file, every);
  const Status unchanged = check_unchanged(file);
  return text + (unchanged.ok() ? "unchanged\n" : error_line("unchanged", unchanged.error()));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    const std::string by_path = digest_of(map_file(path));
    std::fputs(("== " + path + "\n" + by_path).c_str(), stdout);
    // A copy of larger files would only cost memory: the large-file check maps a sparse file
    // of more than 4 GiB, whose copy reads the same as the mapping anyway.
    if (std::filesystem::file_size(path) > (std::uintmax_t{64} << 20)) continue;
    std::ifstream stream(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)), {});
    const std::string by_bytes = digest_of(map_copy(bytes));
    std::fputs(by_bytes == by_path ? "bytes: same\n" : ("bytes:\n" + by_bytes).c_str(), stdout);
  }
}
