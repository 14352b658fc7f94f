#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace telvane::py {

/// Owns one strong reference to a Python object (or nothing) and releases it exactly once.
class PyRef {
public:
  PyRef() noexcept = default;
  /// Takes over a new reference (NULL allowed: the call that made it failed).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  /// Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  ~PyRef() { Py_XDECREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
  /// Hands the reference over to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  PyObject* object_ = nullptr;
};

/// `module_name.attribute`, importing the module when not yet imported; empty with a Python
/// error set on failure.
[[nodiscard]] inline PyRef attribute_of_module(const char* module_name, const char* attribute) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttrString(module.get(), attribute));
}

}  // namespace telvane::py
