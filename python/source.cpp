#include "source.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "unlocked.hpp"

namespace telvane::py {
namespace {

constexpr std::string_view kBytesName = "<bytes>";

// A sequence's __len__ only sizes the first reservation: it may claim far more than the
// sequence yields.
constexpr std::size_t kLengthHintCap = std::size_t{1} << 24;

// The test of whether a source is bytes discards its ordinary failures; KeyboardInterrupt,
// MemoryError and whatever else does not derive from Exception stay set for the caller.
// True when the pending error was discarded.
bool discard_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

// Opens the str `path` by its bytes in the file-system encoding, as os.fsencode gives them,
// so that names which are not UTF-8 open too. Nothing, with the encoder's error set, when
// the encoding cannot hold it. Maps it off the interpreter lock: opening and mapping a file
// can wait on the disk, and on the mapping lock that another thread's unmapping holds.
std::optional<MappedSource> open_path(PyObject* path) {
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path));
  if (!encoded) return std::nullopt;
  std::string name(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  Result<MappedRegion> region = unlocked([&name] { return map_file(name); });
  return MappedSource{std::move(region), std::move(name), true};
}

std::optional<MappedSource> open_bytes(std::span<const std::uint8_t> bytes) {
  return MappedSource{map_copy(bytes), std::string(kBytesName), false};
}

// Looks up an optional attribute: empty without an error when it is missing; empty with
// the error set when the lookup raised anything but AttributeError.
PyRef optional_attribute(PyObject* object, const char* name, bool& failed) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
  failed = false;
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
    } else {
      failed = true;
    }
  }
  return value;
}

std::optional<MappedSource> open_fspath_result(PyObject* result) {
  if (!PyUnicode_Check(result)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", Py_TYPE(result)->tp_name);
    return std::nullopt;
  }
  return open_path(result);
}

// A one-dimensional contiguous buffer of unsigned bytes, which iterating would give
// value by value anyway.
class ByteBuffer {
public:
  explicit ByteBuffer(PyObject* object) {
    if (!PyObject_CheckBuffer(object)) return;
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
      discard_ordinary_error();
      return;
    }
    held_ = true;
    const std::string_view format = view_.format != nullptr ? view_.format : "B";
    usable_ = view_.ndim == 1 && view_.itemsize == 1 && format == "B";
  }
  ~ByteBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  [[nodiscard]] bool usable() const noexcept { return usable_; }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

private:
  Py_buffer view_{};
  bool held_ = false;
  bool usable_ = false;
};

// Takes the byte values of a sequence item by item; false with a Python error set.
bool collect_bytes(PyObject* sequence, std::vector<std::uint8_t>& bytes) {
  if (PyUnicode_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(sequence)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", Py_TYPE(sequence)->tp_name);
    return false;
  }
  const Py_ssize_t hint = PySequence_Size(sequence);
  if (hint >= 0) {
    bytes.reserve(std::min(static_cast<std::size_t>(hint), kLengthHintCap));
  } else if (!discard_ordinary_error()) {
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return !PyErr_Occurred();
}

// The byte values of a sequence: viewed in place when it is a contiguous buffer of unsigned
// bytes, taken value by value otherwise.
class ByteValues {
public:
  /// False, with a Python error set, when `object` is not a sequence of byte values.
  bool take(PyObject* object) {
    if (!PyUnicode_Check(object) && PySequence_Check(object)) {
      buffer_.emplace(object);
      if (buffer_->usable()) return true;
      if (PyErr_Occurred()) return false;
    }
    return collect_bytes(object, copied_);
  }

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept {
    return buffer_ && buffer_->usable() ? buffer_->bytes() : std::span<const std::uint8_t>(copied_);
  }

private:
  std::optional<ByteBuffer> buffer_;
  std::vector<std::uint8_t> copied_;
};

std::optional<MappedSource> open_file_like(PyObject* source, PyObject* read) {
  PyRef position = PyRef::steal(PyObject_CallMethod(source, "seek", "i", 0));
  if (!position) return std::nullopt;
  PyRef content = PyRef::steal(PyObject_CallNoArgs(read));
  if (!content) return std::nullopt;
  ByteValues bytes;
  if (!bytes.take(content.get())) return std::nullopt;
  return open_bytes(bytes.bytes());
}

}  // namespace

std::optional<MappedSource> map_source(PyObject* source) {
  if (PyUnicode_Check(source)) {
    if (std::optional<MappedSource> mapped = open_path(source)) return mapped;
    if (!discard_ordinary_error()) return std::nullopt;
  }
  bool failed = false;
  if (PyRef fspath = optional_attribute(source, "__fspath__", failed)) {
    PyRef result = PyRef::steal(PyObject_CallNoArgs(fspath.get()));
    if (!result) return std::nullopt;
    return open_fspath_result(result.get());
  }
  if (failed) return std::nullopt;

  if (ByteValues bytes; bytes.take(source)) return open_bytes(bytes.bytes());
  if (!discard_ordinary_error()) return std::nullopt;  // else not bytes: perhaps a file-like object

  PyRef read = optional_attribute(source, "read", failed);
  if (failed) return std::nullopt;
  if (!read) {
    PyErr_SetString(PyExc_TypeError, "Expected str, bytes, PathLike, or file-like object");
    return std::nullopt;
  }
  return open_file_like(source, read.get());
}

std::optional<ResolvedSource> resolve_source(PyObject* source) {
  std::optional<MappedSource> mapped = map_source(source);
  if (!mapped) return std::nullopt;
  const std::string* path = mapped->by_path ? &mapped->name : nullptr;
  if (!mapped->region.ok()) {
    raise_error(mapped->region.error(), path);
    return std::nullopt;
  }
  Result<IbtFile> file = unlocked([&mapped] { return parse_ibt(std::move(mapped->region).value()); });
  if (!file.ok()) {
    raise_error(file.error(), path);
    return std::nullopt;
  }
  return ResolvedSource{std::move(file).value(), std::move(mapped->name), mapped->by_path};
}

}  // namespace telvane::py
