#pragma once

#include <string_view>

#include "py_ref.hpp"

namespace telvane::py {

/// A new `str` from UTF-8 text, or empty after creation_failed().
[[nodiscard]] PyRef make_str(std::string_view text);

}  // namespace telvane::py
