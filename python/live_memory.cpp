// Live telemetry memory read off the interpreter lock: the records taken whole, the newest
// tick count, and a tick's wait for the next records and their take in one call; the
// simulator's own mapping and event opened.

#include "live_memory.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "errors.hpp"
#include "live_batch.hpp"
#include "platform/platform.hpp"
#include "platform/shared_memory.hpp"
#include "platform/truncation_guard.hpp"
#include "reader/live_memory.hpp"
#include "unlocked.hpp"

namespace telvane::py {
namespace {

/// The buffer of the memory object, held for one call: while it is held the object cannot
/// be closed under the reader.
class HeldBuffer {
public:
  HeldBuffer() = default;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  bool hold(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  [[nodiscard]] ByteView bytes() const noexcept {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

private:
  Py_buffer view_{};
  bool held_ = false;
};

/// `read(bytes)` off the interpreter lock, guarded against the file shrinking under it.
template <typename Read>
auto read_unlocked(const HeldBuffer& memory, Read&& read) {
  return unlocked([&memory, &read] {
    std::atomic<bool> shrank{false};
    decltype(read(memory.bytes())) result = [&] {
      const TruncationGuard guard(memory.bytes().data(), memory.bytes().size(), &shrank);
      return read(memory.bytes());
    }();
    if (shrank.load()) return decltype(result)(IbtError::io("file was truncated while it was being read"));
    return result;
  });
}

// An int32 tick count or None; false with a Python error set.
bool tick_or_none(PyObject* object, std::optional<std::int32_t>& out) {
  if (object == Py_None) return true;
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "a tick count is a 32-bit integer");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool buf_len_of(PyObject* object, std::int32_t& out) {
  std::optional<std::int32_t> value;
  if (!tick_or_none(object, value)) return false;
  out = value.value_or(0);
  return true;
}

bool name_of(PyObject* object, std::string& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

PyObject* tick_object(std::optional<std::int32_t> tick) {
  if (!tick) Py_RETURN_NONE;
  return PyLong_FromLong(*tick);
}

bool arguments(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments", function, expected);
  return false;
}

PyObject* records_list(const LiveTake& taken, std::int32_t buf_len) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(taken.ticks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < taken.ticks.size(); ++i) {
    const char* record = reinterpret_cast<const char*>(taken.bytes.data()) + i * static_cast<std::size_t>(buf_len);
    PyObject* pair = Py_BuildValue("(iy#)", taken.ticks[i], record, static_cast<Py_ssize_t>(buf_len));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// Seconds given from Python as a duration, clamped to [low, high]; false with a Python error set.
bool duration_of(PyObject* object, double low, double high, std::chrono::nanoseconds& out) {
  const double seconds = PyFloat_AsDouble(object);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  out = std::chrono::nanoseconds(static_cast<std::int64_t>(std::max(low, std::min(seconds, high)) * 1e9));
  return true;
}

/// The records of a take, their memory reused by the next take of this thread: a take of a
/// record each tick allocating none spares the allocator the merging of the small blocks a
/// freed batch leaves, which a large allocation sets off.
class ReusedTake {
public:
  ReusedTake() : taken_(std::move(kept_)) {}  // a call made meanwhile (from a finalizer) takes its own
  ~ReusedTake() { kept_ = std::move(taken_); }
  ReusedTake(const ReusedTake&) = delete;
  ReusedTake& operator=(const ReusedTake&) = delete;
  LiveTake& operator*() noexcept { return taken_; }

private:
  static thread_local LiveTake kept_;
  LiveTake taken_;
};

thread_local LiveTake ReusedTake::kept_;

/// What next_live found besides the records: whether it waited (none was there to take at
/// first), the newest tick count then, and whether it had to look more than once.
struct Next {
  bool waited = false;
  std::optional<std::int32_t> newest;
  bool looked = false;
};

// Into `taken`, the records newer than `after` (with `take`); when there are none, a rest of
// `rest` unless a tick other than `seen` is there, then a wait for one until `timeout`, and
// the records taken again.
Result<Next> next_records(ByteView memory, std::int32_t buf_len, bool take, std::optional<std::int32_t> after,
                          std::optional<std::int32_t> seen, std::chrono::nanoseconds rest,
                          std::chrono::nanoseconds timeout, std::chrono::nanoseconds interval, const LivePause& pause,
                          LiveTake& taken) {
  Next next;
  taken.ticks.clear();
  taken.bytes.clear();
  if (take) {
    if (Status took = take_live_records(memory, buf_len, after, taken); !took.ok()) return took.error();
    if (!taken.ticks.empty()) return next;
  }
  next.waited = true;
  Result<std::optional<std::int32_t>> newest = newest_live_tick(memory, buf_len);
  if (newest.ok() && newest.value() == seen && rest > std::chrono::nanoseconds::zero()) {
    rest = std::min(rest, timeout);
    platform::sleep_for(rest);
    timeout -= rest;
    newest = newest_live_tick(memory, buf_len);
  }
  if (newest.ok() && newest.value() == seen) {
    next.looked = true;
    newest = wait_live_tick(memory, buf_len, seen, timeout, interval, pause);
  }
  if (!newest.ok()) return newest.error();
  next.newest = newest.value();
  if (next.newest == seen || !take) return next;
  if (Status took = take_live_records(memory, buf_len, after, taken); !took.ok()) return took.error();
  return next;
}

PyObject* ticks_list(const std::vector<std::int32_t>& ticks) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ticks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    PyObject* tick = PyLong_FromLong(ticks[i]);
    if (tick == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tick);
  }
  return list.release();
}

// next_live(memory, buf_len, take, after, seen, rest, timeout, interval, batcher, name) pausing
// with `pause`: a tick's wait and take in one call, which holds the buffer and guards the
// reads once; the records made a batch by `batcher`, or handed back as bytes when it is None.
PyObject* next_with(const char* function, PyObject* const* args, Py_ssize_t nargs, const LivePause& pause) {
  HeldBuffer memory;
  std::int32_t buf_len = 0;
  int take = 0;
  std::optional<std::int32_t> after;
  std::optional<std::int32_t> seen;
  std::string name;
  std::chrono::nanoseconds rest{};
  std::chrono::nanoseconds timeout{};
  std::chrono::nanoseconds interval{};
  if (!arguments(function, nargs, 10) || !memory.hold(args[0]) || !buf_len_of(args[1], buf_len) ||
      (take = PyObject_IsTrue(args[2])) < 0 || !tick_or_none(args[3], after) || !tick_or_none(args[4], seen) ||
      !duration_of(args[5], 0.0, 1e9, rest) || !duration_of(args[6], 0.0, 1e9, timeout) ||
      !duration_of(args[7], 1e-4, 1.0, interval) || !name_of(args[9], name)) {
    return nullptr;
  }
  ReusedTake taken;
  Result<Next> next = read_unlocked(memory, [&](ByteView bytes) {
    return next_records(bytes, buf_len, take != 0, after, seen, rest, timeout, interval, pause, *taken);
  });
  if (!next.ok()) {
    raise_read_error(next.error(), name, true);
    return nullptr;
  }
  PyRef records;
  if (args[8] == Py_None) {
    records = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>((*taken).bytes.data()),
                                                     static_cast<Py_ssize_t>((*taken).bytes.size())));
  } else if ((*taken).ticks.empty()) {
    records = PyRef::borrow(Py_None);
  } else {
    records = PyRef::steal(live_batch(args[8], (*taken).ticks, ByteView((*taken).bytes.data(), (*taken).bytes.size())));
  }
  PyRef ticks = records ? PyRef::steal(ticks_list((*taken).ticks)) : PyRef();
  PyRef newest = ticks ? PyRef::steal(tick_object(next.value().newest)) : PyRef();
  if (!newest) return nullptr;
  return PyTuple_Pack(5, next.value().waited ? Py_True : Py_False, newest.get(),
                      next.value().looked ? Py_True : Py_False, ticks.get(), records.get());
}

/// The simulator's mapping and event while open: a read-only buffer, which cannot be closed
/// while a read holds it.
struct SharedMemoryObject {
  PyObject_HEAD
  platform::SharedMemory memory;
  bool open;
  Py_ssize_t exports;  // buffers handed out and not yet released
};

PyTypeObject* g_shared_memory_type = nullptr;

SharedMemoryObject* as_shared_memory(PyObject* self) { return reinterpret_cast<SharedMemoryObject*>(self); }

int shared_memory_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  SharedMemoryObject* memory = as_shared_memory(self);
  if (!memory->open) {
    PyErr_SetString(PyExc_ValueError, "the shared memory is closed");
    return -1;
  }
  if (PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(memory->memory.address),
                        static_cast<Py_ssize_t>(memory->memory.size), 1, flags) != 0) {
    return -1;
  }
  ++memory->exports;
  return 0;
}

void shared_memory_releasebuffer(PyObject* self, Py_buffer* /*view*/) noexcept { --as_shared_memory(self)->exports; }

PyObject* shared_memory_close(PyObject* self, PyObject* /*unused*/) noexcept {
  SharedMemoryObject* memory = as_shared_memory(self);
  if (memory->exports > 0) {
    PyErr_SetString(PyExc_BufferError, "the shared memory is being read: it is closed once the reads end");
    return nullptr;
  }
  if (memory->open) platform::close_shared_memory(memory->memory);
  memory->open = false;
  Py_RETURN_NONE;
}

void shared_memory_dealloc(PyObject* self) noexcept {
  SharedMemoryObject* memory = as_shared_memory(self);
  if (memory->open) platform::close_shared_memory(memory->memory);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef kSharedMemoryMethods[] = {
    {"close", shared_memory_close, METH_NOARGS, "Unmaps the memory and closes the event."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSharedMemorySlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(shared_memory_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(shared_memory_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(shared_memory_dealloc)},
    {Py_tp_methods, kSharedMemoryMethods},
    {Py_tp_doc, const_cast<char*>("The simulator's live telemetry mapping, read-only, and its data-valid event.")},
    {0, nullptr},
};

PyType_Spec kSharedMemorySpec = {"telvane._recording_rs.SharedMemory", sizeof(SharedMemoryObject), 0,
                                 Py_TPFLAGS_DEFAULT, kSharedMemorySlots};

}  // namespace

PyObject* take_live(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    HeldBuffer memory;
    std::int32_t buf_len = 0;
    std::optional<std::int32_t> after;
    std::string name;
    if (!arguments("take_live", nargs, 4) || !memory.hold(args[0]) || !buf_len_of(args[1], buf_len) ||
        !tick_or_none(args[2], after) || !name_of(args[3], name)) {
      return nullptr;
    }
    LiveTake taken;
    const Status took =
        read_unlocked(memory, [&](ByteView bytes) { return take_live_records(bytes, buf_len, after, taken); });
    if (!took.ok()) {
      raise_read_error(took.error(), name, true);
      return nullptr;
    }
    return records_list(taken, buf_len);
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* newest_live(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    HeldBuffer memory;
    std::int32_t buf_len = 0;
    std::string name;
    if (!arguments("newest_live", nargs, 3) || !memory.hold(args[0]) || !buf_len_of(args[1], buf_len) ||
        !name_of(args[2], name)) {
      return nullptr;
    }
    // A few descriptors read: quicker than releasing the interpreter lock for it.
    std::atomic<bool> shrank{false};
    Result<std::optional<std::int32_t>> newest = [&] {
      const TruncationGuard guard(memory.bytes().data(), memory.bytes().size(), &shrank);
      return newest_live_tick(memory.bytes(), buf_len);
    }();
    if (shrank.load()) newest = IbtError::io("file was truncated while it was being read");
    if (!newest.ok()) {
      raise_read_error(newest.error(), name, true);
      return nullptr;
    }
    return tick_object(newest.value());
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* next_live(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    return next_with("next_live", args, nargs, sleep_pause);
  } catch (...) {
    return raise_current_exception();
  }
}

// -- the simulator's own memory (Windows) --------------------------------------------------

PyObject* open_simulator(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  try {
    Result<std::optional<platform::SharedMemory>> opened =
        platform::open_shared_memory(kSimulatorMapping, kSimulatorEvent);
    if (!opened.ok()) {
      raise_read_error(opened.error(), "the simulator", true);
      return nullptr;
    }
    if (!opened.value()) Py_RETURN_NONE;
    auto* self = reinterpret_cast<SharedMemoryObject*>(PyType_GenericAlloc(g_shared_memory_type, 0));
    if (self == nullptr) {
      platform::close_shared_memory(*opened.value());
      return nullptr;
    }
    self->memory = *opened.value();
    self->open = true;
    return reinterpret_cast<PyObject*>(self);
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* next_simulator(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    if (nargs > 0 && !PyObject_TypeCheck(args[0], g_shared_memory_type)) {
      PyErr_SetString(PyExc_TypeError, "next_simulator() waits on the memory open_simulator() opened");
      return nullptr;
    }
    const std::intptr_t event = nargs > 0 ? reinterpret_cast<SharedMemoryObject*>(args[0])->memory.event : 0;
    return next_with("next_simulator", args, nargs,
                     [event](std::chrono::nanoseconds step) { return platform::wait_for_event(event, step); });
  } catch (...) {
    return raise_current_exception();
  }
}

bool add_shared_memory_type(PyObject* module) {
  if (g_shared_memory_type == nullptr) {
    g_shared_memory_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSharedMemorySpec));
    if (g_shared_memory_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "SharedMemory", reinterpret_cast<PyObject*>(g_shared_memory_type)) == 0;
}

}  // namespace telvane::py
