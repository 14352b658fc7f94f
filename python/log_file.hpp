#pragma once

#include "py_ref.hpp"

namespace telvane::py {

/// What a LogFile is made of. The first four it always has; a reader that has the others
/// gives them, and an empty one is left to the LogFile's default.
struct LogFileParts {
  PyRef channels;  // dict: name -> channel table
  PyRef laps;
  PyRef metadata;
  PyRef name;
  PyRef timecodes;           // the time base, a ChunkedArray
  PyRef arrays;              // dict: name -> array table
  PyRef session_info_bytes;  // the session-info block as the file holds it
  PyRef lap_channels;        // the read's one table of every channel, when the lap channels are not all shown
};

/// The telvane.base.LogFile both extensions return; empty with a Python error set on failure.
[[nodiscard]] PyRef make_log_file(const LogFileParts& parts);

}  // namespace telvane::py
