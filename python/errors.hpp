#pragma once

#include <string_view>

#include "py_ref.hpp"
#include "reader/ibt_error.hpp"

namespace telvane::py {

/// Raises the internal-error exception with `message`. It derives from BaseException, so
/// `except Exception` does not swallow a defect of the extension itself.
void raise_internal(std::string_view message);

/// The interpreter failed to create an object the code relies on: prints the pending
/// exception to stderr and raises the internal error "Python API call failed".
void creation_failed();

/// Raises `error` as RuntimeError with its display text (the internal error for a defect).
void raise_ibt_error(const IbtError& error);

/// Raises `error` from opening the file at `path`: OSError "<path>: <error text>".
void raise_path_error(std::string_view path, const IbtError& error);

/// Raises `type(message)`; `message` may hold any UTF-8, NUL characters included.
void raise_with_message(PyObject* type, std::string_view message);

/// Replaces the pending exception with RuntimeError "<type qualname>: <str(exc)>".
void wrap_pending_as_runtime_error();

/// A new `str` from UTF-8 text, or empty after creation_failed().
[[nodiscard]] PyRef make_str(std::string_view text);

}  // namespace telvane::py
