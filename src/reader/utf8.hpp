#pragma once

#include <string>
#include <string_view>

namespace telvane {

/// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with one U+FFFD.
[[nodiscard]] std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace telvane
