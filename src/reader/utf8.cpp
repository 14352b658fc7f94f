#include "reader/utf8.hpp"

#include <cstdint>

namespace telvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadByte {
  int length;            // bytes in the sequence, 0 when the byte cannot start one
  std::uint8_t low;      // allowed range of the second byte (Unicode Table 3-7)
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

// Length of the valid prefix of the sequence led by bytes[0], at most lead.length.
std::size_t valid_prefix(std::string_view bytes, LeadByte lead) {
  std::size_t n = 1;
  for (; n < static_cast<std::size_t>(lead.length) && n < bytes.size(); ++n) {
    const auto byte = static_cast<std::uint8_t>(bytes[n]);
    const std::uint8_t low = n == 1 ? lead.low : 0x80;
    const std::uint8_t high = n == 1 ? lead.high : 0xBF;
    if (byte < low || byte > high) break;
  }
  return n;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const LeadByte lead = classify(static_cast<std::uint8_t>(bytes[pos]));
    if (lead.length == 0) {
      text += kReplacement;
      ++pos;
      continue;
    }
    const std::size_t n = valid_prefix(bytes.substr(pos), lead);
    if (n == static_cast<std::size_t>(lead.length)) {
      text.append(bytes.substr(pos, n));
    } else {
      text += kReplacement;
    }
    pos += n;
  }
  return text;
}

}  // namespace telvane
