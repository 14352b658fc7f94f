#pragma once

#include <optional>
#include <string>

#include "py_ref.hpp"
#include "reader/ibt_file.hpp"

namespace telvane::py {

/// The opened file of an `ibt` call and the name passed on to LogFile.
struct ResolvedSource {
  IbtFile file;
  std::string name;  // the path's file-system bytes (os.fsencode), or "<bytes>"
  bool by_path;

  /// The path the file was read from, or nullptr for bytes.
  [[nodiscard]] const std::string* path() const noexcept { return by_path ? &name : nullptr; }
};

/// The bytes of a source, mapped but not yet parsed, or the failure to map them.
struct MappedSource {
  Result<MappedRegion> region;
  std::string name;  // the path's file-system bytes (os.fsencode), or "<bytes>"
  bool by_path;
};

/// Maps `source` as resolve_source does; nothing means a Python exception is set (the
/// source is of no usable form, or its own methods raised).
[[nodiscard]] std::optional<MappedSource> map_source(PyObject* source);

/// Opens `source`: a path (str or __fspath__), a sequence of byte values, or a file-like
/// object (seek(0), then read()). Nothing means a Python exception is set.
[[nodiscard]] std::optional<ResolvedSource> resolve_source(PyObject* source);

}  // namespace telvane::py
