#pragma once

#include <string_view>

#include "py_ref.hpp"

namespace telvane::py {

/// A new `str` from UTF-8 text, or empty after creation_failed().
[[nodiscard]] PyRef make_str(std::string_view text);

/// The path as Python shows it (os.fsdecode) from its file-system bytes, or empty after
/// creation_failed().
[[nodiscard]] PyRef make_path_str(std::string_view bytes);

}  // namespace telvane::py
