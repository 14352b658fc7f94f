#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace telvane {

/// The sequence at the start of some bytes: its code point and length when it is well-formed
/// UTF-8; otherwise `valid` is false and `length` covers its maximal invalid subsequence.
struct Utf8Sequence {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

/// Decodes the sequence at the start of `bytes`, which must not be empty.
[[nodiscard]] Utf8Sequence decode_utf8_sequence(std::string_view bytes) noexcept;

/// The last sequence of `text`, which must be non-empty, well-formed UTF-8.
[[nodiscard]] Utf8Sequence last_utf8_sequence(std::string_view text) noexcept;

/// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with one U+FFFD.
[[nodiscard]] std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace telvane
