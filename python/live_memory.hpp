#pragma once

#include "py_ref.hpp"

namespace telvane::py {

// The functions of telvane._recording_rs that read live telemetry memory (any object with a
// read-only buffer: a mapped file, the simulator's mapping) with the interpreter lock released:
//   take_live(memory, buf_len, after, name) -> [(tick, record bytes), ...]
//   newest_live(memory, buf_len, name) -> int | None
//   next_live(memory, buf_len, take, after, seen, rest, timeout, interval, batcher, name)
//     -> (waited, newest, looked, [tick, ...], records): with `take`, take_live's records (their
//     bytes back to back, or the batch a LiveBatcher `batcher` makes of them), or when there
//     are none, a rest of `rest` seconds unless a tick other than `seen` is there, a wait of
//     at most `timeout` for one (looking every `interval`), and the records taken again (with `take`);
//     `newest` and `looked` (the wait looked more than once) tell of the wait, when it waited
// Errors name the memory `name`.
PyObject* take_live(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* newest_live(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* next_live(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// The simulator's own memory, on Windows:
//   open_simulator() -> SharedMemory | None (None: the simulator is not running)
//   next_simulator(memory, buf_len, take, after, seen, rest, timeout, interval, batcher, name): next_live
//     waiting on its event
// SharedMemory is a read-only buffer with close(); add_shared_memory_type adds the type to
// the module (false with a Python error set).
PyObject* open_simulator(PyObject* module, PyObject* unused) noexcept;
PyObject* next_simulator(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
bool add_shared_memory_type(PyObject* module);

}  // namespace telvane::py
