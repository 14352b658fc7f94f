#pragma once

#include "py_ref.hpp"
#include "reader/ibt_file.hpp"

namespace telvane::py {

/// The metadata dict: the session-info text, the track and session values scanned from
/// it, and six header values. Empty with a Python error set on failure.
[[nodiscard]] PyRef build_metadata(const IbtFile& file);

}  // namespace telvane::py
