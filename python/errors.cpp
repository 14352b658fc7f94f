#include "errors.hpp"

#include <cerrno>
#include <new>
#include <string>

#include "py_str.hpp"

namespace telvane::py {
namespace {

constexpr const char kInternalDoc[] =
    "Raised when the extension's own code fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "propagates to the top instead of being caught by 'except Exception'.";

// Created on first use and kept for the life of the process.
PyObject* internal_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("telvane._telvane_rs.InternalError", kInternalDoc, PyExc_BaseException,
                                     nullptr);
  }
  return type;
}

constexpr const char kIbtErrorDoc[] =
    "The file is not a valid IBT recording; the message says which check it failed and\n"
    "`filename` names the file.";

// What the message says after the file's name.
std::string read_error_text(const IbtError& error) {
  switch (error.kind()) {
    case IbtError::Kind::NotRecording: return "not an IBT recording (" + error.message() + ")";
    case IbtError::Kind::LiveDump: return error.message();
    case IbtError::Kind::OutOfRange: return error.message();
    default: return error.display();
  }
}

// Raises type(args) with `filename` set on the exception.
void raise_with_filename(PyObject* type, PyObject* args, PyObject* filename) {
  PyRef exception = PyRef::steal(PyObject_CallObject(type, args));
  if (!exception) return;
  if (PyObject_SetAttrString(exception.get(), "filename", filename) != 0) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

std::string qualified_name(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* text = PyUnicode_AsUTF8(name.get())) return text;
  }
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type)->tp_name;
}

}  // namespace

void raise_with_message(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return creation_failed();
  PyErr_SetObject(type, text.get());
}

void raise_internal(std::string_view message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // the interpreter's own error is pending
  raise_with_message(type, message);
}

PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    raise_internal("unexpected C++ exception");
    return nullptr;
  }
}

void creation_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;  // the caller's to handle, as from any allocation
  if (PyErr_Occurred()) PyErr_Print();
  raise_internal("Python API call failed");
}

PyObject* ibt_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewExceptionWithDoc("telvane.IbtError", kIbtErrorDoc, PyExc_ValueError, nullptr);
  return type;
}

void raise_read_error(const IbtError& error, const std::string& name, bool by_path) {
  if (error.kind() == IbtError::Kind::Internal) return raise_internal(error.display());
  PyRef filename = by_path ? make_path_str(name) : PyRef::steal(PyUnicode_FromString("<bytes>"));
  if (!filename) return creation_failed();
  if (error.kind() == IbtError::Kind::Io && error.os_code() != 0) {
#ifdef _WIN32
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, error.os_code(), filename.get());
#else
    errno = error.os_code();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
#endif
    return;
  }
  if (error.kind() == IbtError::Kind::Io) {
    PyRef text = make_str(error.message());
    PyRef args = text ? PyRef::steal(Py_BuildValue("(iOO)", EIO, text.get(), filename.get())) : PyRef();
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return;
  }
  const std::string text = ": " + read_error_text(error);
  PyRef tail = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyRef message = tail ? PyRef::steal(PyUnicode_Concat(filename.get(), tail.get())) : PyRef();
  if (!message) return creation_failed();
  PyObject* type = ibt_error_type();
  if (type == nullptr) return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, message.get()));
  if (args) raise_with_filename(type, args.get(), filename.get());
}

void raise_error(const IbtError& error, const std::string* path) {
  if (path != nullptr) {
    PyRef shown = make_path_str(*path);
    if (!shown) return;
    const std::string display = ": " + error.display();
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(display.data(), static_cast<Py_ssize_t>(display.size()), "replace"));
    PyRef message = text ? PyRef::steal(PyUnicode_Concat(shown.get(), text.get())) : PyRef();
    if (!message) return creation_failed();
    return PyErr_SetObject(PyExc_OSError, message.get());
  }
  if (error.kind() == IbtError::Kind::Internal || error.kind() == IbtError::Kind::OutOfRange) {
    return raise_internal(error.display());
  }
  raise_with_message(PyExc_RuntimeError, error.display());
}

void wrap_pending_as_runtime_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  const PyRef type = PyRef::steal(raw_type);
  const PyRef value = PyRef::steal(raw_value);
  const PyRef traceback = PyRef::steal(raw_traceback);
  std::string message = qualified_name(type.get()) + ": ";
  PyRef text = PyRef::steal(PyObject_Str(value.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 != nullptr) {
    message += utf8;
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }
  raise_with_message(PyExc_RuntimeError, message);
}

}  // namespace telvane::py
