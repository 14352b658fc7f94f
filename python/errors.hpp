#pragma once

#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "error/ibt_error.hpp"

namespace telvane::py {

/// Raises the internal-error exception with `message`. It derives from BaseException, so
/// `except Exception` does not swallow a defect of the extension itself.
void raise_internal(std::string_view message);

/// Called inside `catch (...)` of a function the interpreter calls, so that no C++ exception
/// reaches it: std::bad_alloc becomes MemoryError, anything else the internal error
/// "unexpected C++ exception". Returns nullptr for the caller to return.
PyObject* raise_current_exception() noexcept;

/// The interpreter failed to create an object the code relies on: leaves a MemoryError
/// pending; otherwise prints the pending exception to stderr and raises the internal error
/// "Python API call failed".
void creation_failed();

/// Raises `error`. From a file read by path (`path`, its file-system bytes, not null) it is
/// OSError "<path as Python shows it>: <display text>"; otherwise RuntimeError with the
/// display text, or the internal error for a defect.
void raise_error(const IbtError& error, const std::string* path = nullptr);

/// telvane.IbtError, a ValueError; created on first use and kept for the life of the process.
PyObject* ibt_error_type();

/// Raises `error` of the recording `name` (a path when `by_path`, else "<bytes>") as
/// telvane.open reports it, the name in the message ("<name>: ...") and as `filename`: for a
/// file that is not a valid recording IbtError; for a system error the OSError subclass of
/// its error number; OSError(EIO) for a file refused as not regular or one that changed
/// while it was read. Only a defect of the code is the internal error.
void raise_read_error(const IbtError& error, const std::string& name, bool by_path);

/// Raises `type(message)`; `message` may hold any UTF-8, NUL characters included.
void raise_with_message(PyObject* type, std::string_view message);

/// Replaces the pending exception, unless it is a MemoryError, with RuntimeError
/// "<type qualname>: <str(exc)>".
void wrap_pending_as_runtime_error();

}  // namespace telvane::py
