#include "bytes/utf8.hpp"

#include <cstdint>

namespace telvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadByte {
  std::size_t length;  // bytes in the sequence, 0 when the byte cannot start one
  std::uint8_t low;    // allowed range of the second byte (Unicode Table 3-7)
  std::uint8_t high;
};

LeadByte classify(std::uint8_t byte) {
  if (byte < 0x80) return {1, 0, 0};
  if (byte < 0xC2) return {0, 0, 0};
  if (byte < 0xE0) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte < 0xF0) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte < 0xF4) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

bool is_continuation(char byte) { return (static_cast<std::uint8_t>(byte) & 0xC0) == 0x80; }

}  // namespace

Utf8Sequence decode_utf8_sequence(std::string_view bytes) noexcept {
  const auto lead_byte = static_cast<std::uint8_t>(bytes[0]);
  const LeadByte lead = classify(lead_byte);
  if (lead.length == 0) return {0, 1, false};
  char32_t code_point = lead.length == 1 ? lead_byte : lead_byte & (0x7F >> lead.length);
  std::size_t n = 1;
  for (; n < lead.length && n < bytes.size(); ++n) {
    const auto byte = static_cast<std::uint8_t>(bytes[n]);
    const std::uint8_t low = n == 1 ? lead.low : 0x80;
    const std::uint8_t high = n == 1 ? lead.high : 0xBF;
    if (byte < low || byte > high) break;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  return {code_point, n, n == lead.length};
}

Utf8Sequence last_utf8_sequence(std::string_view text) noexcept {
  std::size_t start = text.size() - 1;
  while (start > 0 && is_continuation(text[start])) --start;
  return decode_utf8_sequence(text.substr(start));
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Sequence sequence = decode_utf8_sequence(bytes);
    if (sequence.valid) {
      text.append(bytes.substr(0, sequence.length));
    } else {
      text += kReplacement;
    }
    bytes.remove_prefix(sequence.length);
  }
  return text;
}

}  // namespace telvane
