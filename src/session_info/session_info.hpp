#pragma once

#include <string>

#include "bytes/byte_view.hpp"

namespace telvane {

/// The session-info text of a session-info block: from its first "---" (or first non-NUL
/// byte) to its last non-NUL byte, decoded as lossy UTF-8.
[[nodiscard]] std::string extract_session_info(ByteView block);

}  // namespace telvane
