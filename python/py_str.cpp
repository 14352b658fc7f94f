#include "py_str.hpp"

#include "errors.hpp"

namespace telvane::py {

PyRef make_str(std::string_view text) {
  PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) creation_failed();
  return str;
}

PyRef make_path_str(std::string_view bytes) {
  PyRef str = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  if (!str) creation_failed();
  return str;
}

}  // namespace telvane::py
