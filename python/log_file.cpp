#include "log_file.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "errors.hpp"

namespace telvane::py {

PyRef make_log_file(const LogFileParts& parts) {
  PyRef log_file_class = attribute_of_module("telvane.base", "LogFile");
  if (!log_file_class) return {};
  const std::pair<const char*, PyObject*> keywords[] = {
      {"timecodes", parts.timecodes.get()},
      {"arrays", parts.arrays.get()},
      {"session_info_bytes", parts.session_info_bytes.get()},
      {"lap_channels", parts.lap_channels.get()},
  };
  std::array<PyObject*, 8> args{parts.channels.get(), parts.laps.get(), parts.metadata.get(), parts.name.get()};
  std::size_t given = 0;
  for (const auto& [keyword, value] : keywords) given += value != nullptr;
  PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(given)));
  if (!names) {
    creation_failed();
    return {};
  }
  std::size_t next = 0;
  for (const auto& [keyword, value] : keywords) {
    if (value == nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(keyword);
    if (name == nullptr) {
      creation_failed();
      return {};
    }
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(next), name);
    args[4 + next++] = value;
  }
  return PyRef::steal(PyObject_Vectorcall(log_file_class.get(), args.data(), 4, given > 0 ? names.get() : nullptr));
}

}  // namespace telvane::py
