#include "metadata.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "bytes/utf8.hpp"
#include "errors.hpp"
#include "py_str.hpp"

namespace telvane::py {
namespace {

struct ScannedKey {
  std::string_view prefix;  // matched byte for byte, colon and one space included
  const char* key;
};

constexpr std::array<ScannedKey, 9> kScannedKeys{{
    {"TrackName: ", "track_name"},
    {"TrackDisplayName: ", "track_display_name"},
    {"TrackCity: ", "track_city"},
    {"TrackCountry: ", "track_country"},
    {"TrackLength: ", "track_length"},
    {"SeriesID: ", "series_id"},
    {"SeasonID: ", "season_id"},
    {"SessionID: ", "session_id"},
    {"SubSessionID: ", "sub_session_id"},
}};

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Trims Unicode White_Space from both ends of valid UTF-8 text.
std::string_view trim(std::string_view text) {
  while (!text.empty()) {
    const Utf8Sequence first = decode_utf8_sequence(text);
    if (!is_white_space(first.code_point)) break;
    text.remove_prefix(first.length);
  }
  while (!text.empty()) {
    const Utf8Sequence last = last_utf8_sequence(text);
    if (!is_white_space(last.code_point)) break;
    text.remove_suffix(last.length);
  }
  return text;
}

bool set_text(PyObject* dict, const char* key, std::string_view value) {
  PyRef text = make_str(value);
  return text && PyDict_SetItemString(dict, key, text.get()) == 0;
}

// Takes over `new_reference`, the result of the call that made the value (NULL if it failed).
bool set_new_reference(PyObject* dict, const char* key, PyObject* new_reference) {
  const PyRef owned = PyRef::steal(new_reference);
  if (!owned) {
    creation_failed();
    return false;
  }
  return PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// Every line of the text is trimmed and matched against the prefixes, wherever it is:
// the text's nesting does not matter, and a later line replaces an earlier value.
bool scan_session_info(PyObject* dict, std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    line = trim(line);
    for (const ScannedKey& scanned : kScannedKeys) {
      if (!line.starts_with(scanned.prefix)) continue;
      if (!set_text(dict, scanned.key, trim(line.substr(scanned.prefix.size())))) return false;
      break;
    }
  }
  return true;
}

}  // namespace

PyRef build_metadata(const IbtFile& file) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) {
    creation_failed();
    return {};
  }
  PyObject* d = dict.get();
  const IbtHeader& header = file.header();
  const DiskSubHeader& sub = file.sub_header();
  const bool filled = set_text(d, "session_info_yaml", file.session_info()) &&
                      scan_session_info(d, file.session_info()) &&
                      set_new_reference(d, "tick_rate", PyLong_FromLong(header.tick_rate)) &&
                      set_new_reference(d, "record_count", PyLong_FromLong(sub.session_record_count)) &&
                      set_new_reference(d, "lap_count", PyLong_FromLong(sub.lap_count)) &&
                      set_new_reference(d, "session_start_date", PyLong_FromLongLong(sub.session_start_date)) &&
                      set_new_reference(d, "start_time", PyFloat_FromDouble(sub.start_time)) &&
                      set_new_reference(d, "end_time", PyFloat_FromDouble(sub.end_time));
  if (!filled) return {};
  return dict;
}

}  // namespace telvane::py
