// The extension module telvane._recording_rs: an opened recording that reads the tables
// asked for, with the interpreter lock released while it works on the file's bytes.

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "arrays/array_table.hpp"
#include "errors.hpp"
#include "handover.hpp"
#include "laps/laps.hpp"
#include "live_batch.hpp"
#include "live_memory.hpp"
#include "log_file.hpp"
#include "metadata.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "read/read_recording.hpp"
#include "source.hpp"
#include "unlocked.hpp"

namespace telvane::py {
namespace {

/// The Python object behind telvane.Recording: owns the opened file until close().
struct OpenFile {
  PyObject_HEAD
  std::optional<IbtFile> file;
  std::string name;
  bool by_path;
  std::string error_name;  // the file errors name: the path, or a file object's own name
  bool error_named;        // false for bytes, which errors call "<bytes>"
  int readers;  // reads in progress, with the interpreter lock released
  bool closed;
};

PyTypeObject* g_open_file_type = nullptr;

OpenFile* as_open_file(PyObject* self) { return reinterpret_cast<OpenFile*>(self); }

bool check_open(OpenFile* self) {
  if (!self->closed) return true;
  PyErr_SetString(PyExc_ValueError, "I/O operation on a closed recording");
  return false;
}

// Unmaps the file off the interpreter lock: returning the pages of a large mapping takes a
// while, during which other threads' reads can go on.
void unmap(std::optional<IbtFile>& file) {
  if (!file) return;
  std::optional<IbtFile> taken = std::move(file);
  file.reset();
  unlocked([&taken] { taken.reset(); });
}

void release_if_done(OpenFile* self) {
  if (self->closed && self->readers == 0) unmap(self->file);
}

// A read no longer needs the mapping once read_recording returns: what it made owns its memory.
void end_read(OpenFile* self) {
  --self->readers;
  release_if_done(self);
}

// The file-system bytes of `name`, a str or None; false with a Python error set.
bool fs_name(PyObject* name, std::string& out, bool& named) {
  if (name == Py_None) return true;
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(name));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  named = true;
  return true;
}

// -- open_file(source, recover, name) ----------------------------------------------------

PyObject* open_file(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "open_file() takes exactly 3 arguments (source, recover, name)");
      return nullptr;
    }
    const int recover = PyObject_IsTrue(args[1]);
    if (recover < 0) return nullptr;
    std::optional<MappedSource> source = map_source(args[0]);
    if (!source) return nullptr;
    std::string error_name = source->by_path ? source->name : std::string();
    bool error_named = source->by_path;
    if (!source->by_path && !fs_name(args[2], error_name, error_named)) return nullptr;
    if (source->by_path && source->name.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");  // as the os module says it
      return nullptr;
    }
    if (!source->region.ok()) {
      raise_read_error(source->region.error(), error_name, error_named);
      return nullptr;
    }
    Result<IbtFile> file = unlocked([&source, recover]() -> Result<IbtFile> {
      Result<IbtFile> parsed = parse_ibt(std::move(source->region).value(),
                                         recover ? RecordCount::Recovered : RecordCount::Stored, Layouts::DiskOrLive);
      if (!parsed.ok()) return parsed;
      if (Result<const VarHeader*> session_time = find_session_time(parsed.value()); !session_time.ok()) {
        return session_time.error();
      }
      return parsed;
    });
    if (!file.ok()) {
      raise_read_error(file.error(), error_name, error_named);
      return nullptr;
    }
    PyRef self = PyRef::steal(PyType_GenericAlloc(g_open_file_type, 0));
    if (!self) return nullptr;
    OpenFile* open = as_open_file(self.get());
    new (&open->file) std::optional<IbtFile>(std::move(file).value());
    new (&open->name) std::string(std::move(source->name));
    open->by_path = source->by_path;
    new (&open->error_name) std::string(std::move(error_name));
    open->error_named = error_named;
    open->readers = 0;
    open->closed = false;
    return self.release();
  } catch (...) {
    return raise_current_exception();
  }
}

// -- OpenFile methods --------------------------------------------------------------------

void open_file_dealloc(PyObject* self) noexcept {
  OpenFile* open = as_open_file(self);
  unmap(open->file);
  open->file.~optional();
  open->name.~basic_string();
  open->error_name.~basic_string();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// (source_name, tick_rate, record_count, stored_record_count, ignored_bytes, live_dump)
PyObject* open_file_header(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  if (!check_open(open)) return nullptr;
  const IbtFile& file = *open->file;
  PyRef name = make_path_str(open->name);
  if (!name) return nullptr;
  const std::uint64_t area = std::uint64_t{static_cast<std::uint32_t>(file.header().buf_len)} *
                             static_cast<std::uint64_t>(file.sub_header().session_record_count);
  const std::uint64_t ignored =
      file.live_dump() ? 0 : file.bytes().size() - static_cast<std::uint64_t>(file.header().buf_offset) - area;
  return Py_BuildValue("OiiiKO", name.get(), file.header().tick_rate, file.sub_header().session_record_count,
                       file.stored_record_count(), static_cast<unsigned long long>(ignored),
                       file.live_dump() ? Py_True : Py_False);
}

// [(name, type, count, unit, desc, offset), ...] in file order
PyObject* open_file_variables(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  if (!check_open(open)) return nullptr;
  const std::vector<VarHeader>& vars = open->file->vars();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(vars.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    const VarHeader& var = vars[i];
    PyRef name = make_str(var.name);
    PyRef type = name ? make_str(type_name(var.type)) : PyRef();
    PyRef unit = type ? make_str(var.unit) : PyRef();
    PyRef desc = unit ? make_str(var.desc) : PyRef();
    if (!desc) return nullptr;
    PyObject* row = Py_BuildValue("OOiOOi", name.get(), type.get(), var.count, unit.get(), desc.get(), var.offset);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

// ({name: position} of the channels, {name: position} of the arrays): a channel is the last
// scalar variable of a name, at the place where the name first comes.
PyObject* open_file_positions(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  if (!check_open(open)) return nullptr;
  try {
    PyRef channels = PyRef::steal(PyDict_New());
    PyRef arrays = channels ? PyRef::steal(PyDict_New()) : PyRef();
    if (!arrays) return nullptr;
    const std::vector<VarHeader>& vars = open->file->vars();
    for (std::size_t i = 0; i < vars.size(); ++i) {
      if (vars[i].count < 1) continue;
      PyRef name = make_str(vars[i].name);
      PyRef position = name ? PyRef::steal(PyLong_FromSize_t(i)) : PyRef();
      if (!position ||
          PyDict_SetItem(vars[i].count == 1 ? channels.get() : arrays.get(), name.get(), position.get()) != 0) {
        return nullptr;
      }
    }
    return PyTuple_Pack(2, channels.get(), arrays.get());
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* open_file_metadata(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  if (!check_open(open)) return nullptr;
  return build_metadata(*open->file).release();
}

// The session-info block as the file holds it: the metadata's text has replaced the bytes
// that are not UTF-8, which telvane reads again from these (the Windows code page).
PyObject* open_file_session_info_block(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  if (!check_open(open)) return nullptr;
  try {
    const IbtFile& file = *open->file;
    PyRef block;
    {
      const TruncationGuard guard = file.guard_reads();
      block = PyRef::steal(PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(file.bytes().data()) + file.header().session_info_offset,
          file.header().session_info_len));
    }
    if (!block) return nullptr;
    if (Status unchanged = check_unchanged(file); !unchanged.ok()) {
      raise_read_error(unchanged.error(), open->error_name, open->error_named);
      return nullptr;
    }
    return block.release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* open_file_close(PyObject* self, PyObject* /*unused*/) noexcept {
  OpenFile* open = as_open_file(self);
  open->closed = true;
  release_if_done(open);
  Py_RETURN_NONE;
}

// The variables at the positions listed in `indices`, each checked to be a scalar (or an
// array); false with a Python error set otherwise.
bool variables_at(const IbtFile& file, PyObject* indices, bool arrays, std::vector<const VarHeader*>& out) {
  PyRef sequence = PyRef::steal(PySequence_Fast(indices, "variable positions must be a sequence"));
  if (!sequence) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_ssize_t position = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(sequence.get(), i), PyExc_IndexError);
    if (position == -1 && PyErr_Occurred()) return false;
    if (position < 0 || static_cast<std::size_t>(position) >= file.vars().size() ||
        (file.vars()[position].count > 1) != arrays || file.vars()[position].count == 0) {
      PyErr_Format(PyExc_ValueError, "variable %zd is not %s", position, arrays ? "an array" : "a scalar");
      return false;
    }
    out.push_back(&file.vars()[position]);
  }
  return true;
}

/// Calls the Python progress callback from the reading thread, which has released the
/// interpreter lock into `state`: takes it back for the call and releases it again. A raised
/// exception stays pending and stops the read.
class ProgressCall {
public:
  ProgressCall(PyObject* callback, PyThreadState*& state) : callback_(callback), state_(state) {}

  [[nodiscard]] bool raised() const noexcept { return raised_; }

  bool operator()(std::uint64_t gathered, std::uint64_t total) {
    PyEval_RestoreThread(state_);
    {
      PyRef k = PyRef::steal(PyLong_FromUnsignedLongLong(gathered));
      PyRef n = k ? PyRef::steal(PyLong_FromUnsignedLongLong(total)) : PyRef();
      PyRef result = n ? PyRef::steal(PyObject_CallFunctionObjArgs(callback_, k.get(), n.get(), nullptr)) : PyRef();
      raised_ = !result;
    }
    state_ = PyEval_SaveThread();
    return !raised_;
  }

private:
  PyObject* callback_;
  PyThreadState*& state_;
  bool raised_ = false;
};

/// The tables of one read, made off the interpreter lock: every channel in one table, the
/// time base first, handed over at once and split into channel tables afterwards.
struct ReadTables {
  RecordBatch channels;
  std::vector<std::string> names;  // of the channels, in the order of their columns
  std::vector<ChannelEntry> arrays;
  RecordBatch laps;  // without rows when not asked for
};

Result<ReadTables> read_tables(const IbtFile& file, const ReadRequest& request, const ReadProgress& progress) {
  Result<ReadResult> read = read_recording(file, request, progress);
  if (!read.ok()) return read.error();
  ReadResult& result = read.value();
  Result<RecordBatch> laps = result.laps ? std::move(*result.laps) : laps_table({});
  if (!laps.ok()) return laps.error();
  if (Status complete = check_unchanged(file); !complete.ok()) return complete.error();
  std::vector<std::string> names;
  for (const Column& column : result.channels) names.push_back(column.name);
  Result<RecordBatch> channels = make_channel_table(result.timecodes, std::move(result.channels));
  if (!channels.ok()) return channels.error();
  return ReadTables{std::move(channels).value(), std::move(names), std::move(result.arrays), std::move(laps).value()};
}

// The first `shown_count` channels' tables from the read's one table, sharing its buffers,
// stored by name in `shown`.
bool split_channels(PyObject* table, const std::vector<std::string>& names, std::size_t shown_count, PyObject* shown) {
  PyRef select = PyRef::steal(PyObject_GetAttrString(table, "select"));
  if (!select) return false;
  for (std::size_t k = 0; k < shown_count; ++k) {
    PyRef columns = PyRef::steal(Py_BuildValue("(in)", 0, static_cast<Py_ssize_t>(k + 1)));
    PyRef channel = columns ? PyRef::steal(PyObject_CallOneArg(select.get(), columns.get())) : PyRef();
    PyRef name = channel ? make_str(names[k]) : PyRef();
    if (!name || PyDict_SetItem(shown, name.get(), channel.get()) != 0) return false;
  }
  return true;
}

PyRef new_dict() {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) creation_failed();
  return dict;
}

// The LogFile of a read; `parts` holds the metadata, the name and the session-info bytes.
PyRef log_file_of(ReadTables tables, std::size_t shown_count, PyObject* table_class, LogFileParts parts) {
  Handover handover(table_class);
  PyRef table = handover.table(std::move(tables.channels));
  if (!table) return {};
  parts.timecodes = PyRef::steal(PyObject_CallMethod(table.get(), "column", "i", 0));
  parts.channels = new_dict();
  parts.arrays = new_dict();
  if (!parts.timecodes || !parts.channels || !parts.arrays) return {};
  if (!split_channels(table.get(), tables.names, shown_count, parts.channels.get())) return {};
  if (shown_count < tables.names.size()) parts.lap_channels = PyRef::borrow(table.get());  // lap channels not shown
  for (ChannelEntry& entry : tables.arrays) {
    if (!handover.store(parts.arrays.get(), std::move(entry))) return {};
  }
  parts.laps = handover.table(std::move(tables.laps));
  if (!parts.laps) return {};
  return make_log_file(parts);
}

// read(channel_positions, shown_count, array_positions, laps, progress, metadata, name, session_info_bytes)
PyObject* open_file_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    OpenFile* open = as_open_file(self);
    if (nargs != 8) {
      PyErr_SetString(PyExc_TypeError, "read() takes exactly 8 arguments");
      return nullptr;
    }
    if (!check_open(open)) return nullptr;
    const IbtFile& file = *open->file;
    ReadRequest request;
    if (!variables_at(file, args[0], false, request.channels) || !variables_at(file, args[2], true, request.arrays)) {
      return nullptr;
    }
    const Py_ssize_t shown_count = PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
    if (shown_count == -1 && PyErr_Occurred()) return nullptr;
    if (shown_count < 0 || static_cast<std::size_t>(shown_count) > request.channels.size()) {
      PyErr_SetString(PyExc_ValueError, "more channels shown than read");
      return nullptr;
    }
    const int laps = PyObject_IsTrue(args[3]);
    if (laps < 0) return nullptr;
    request.laps = laps != 0;
    PyObject* callback = args[4] == Py_None ? nullptr : args[4];
    PyRef table_class = attribute_of_module("pyarrow", "Table");
    if (!table_class) return nullptr;

    const PyRef keep_alive = PyRef::borrow(self);  // close() during the read waits for it
    PyThreadState* state = nullptr;
    ProgressCall call(callback, state);
    ReadProgress progress;
    if (callback != nullptr) progress = [&call](std::uint64_t k, std::uint64_t n) { return call(k, n); };
    ++open->readers;
    state = PyEval_SaveThread();
    std::optional<Result<ReadTables>> tables;
    try {
      tables.emplace(read_tables(file, request, progress));
    } catch (...) {
      PyEval_RestoreThread(state);
      end_read(open);
      throw;
    }
    PyEval_RestoreThread(state);
    end_read(open);
    if (call.raised()) return nullptr;
    if (!tables->ok()) {
      raise_read_error(tables->error(), open->error_name, open->error_named);
      return nullptr;
    }
    LogFileParts parts;
    parts.metadata = PyRef::borrow(args[5]);
    parts.name = PyRef::borrow(args[6]);
    if (args[7] != Py_None) parts.session_info_bytes = PyRef::borrow(args[7]);
    return log_file_of(std::move(*tables).value(), static_cast<std::size_t>(shown_count), table_class.get(),
                       std::move(parts))
        .release();
  } catch (...) {
    return raise_current_exception();
  }
}

// The variables at `positions`, scalars or arrays; false with a Python error set.
bool any_variables_at(const IbtFile& file, PyObject* positions, std::vector<const VarHeader*>& out) {
  PyRef sequence = PyRef::steal(PySequence_Fast(positions, "variable positions must be a sequence"));
  if (!sequence) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    const Py_ssize_t position = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(sequence.get(), i), PyExc_IndexError);
    if (position == -1 && PyErr_Occurred()) return false;
    if (position < 0 || static_cast<std::size_t>(position) >= file.vars().size() || file.vars()[position].count < 1) {
      PyErr_Format(PyExc_ValueError, "variable %zd is not a channel or an array", position);
      return false;
    }
    out.push_back(&file.vars()[position]);
  }
  return true;
}

// live_batcher(positions): the batches of live records laid out as this file's, of the
// variables at `positions` (scalars or arrays).
PyObject* open_file_live_batcher(PyObject* self, PyObject* positions) noexcept {
  try {
    OpenFile* open = as_open_file(self);
    if (!check_open(open)) return nullptr;
    const IbtFile& file = *open->file;
    std::vector<const VarHeader*> vars;
    if (!any_variables_at(file, positions, vars)) return nullptr;
    Result<const VarHeader*> session_time = find_session_time(file);
    Result<LiveBatchPlan> plan =
        session_time.ok()
            ? LiveBatchPlan::make(static_cast<std::uint64_t>(file.header().buf_len), *session_time.value(), vars)
            : Result<LiveBatchPlan>(session_time.error());
    if (!plan.ok()) {
      raise_read_error(plan.error(), open->error_name, open->error_named);
      return nullptr;
    }
    return make_live_batcher(std::move(plan).value(), open->error_name, open->error_named).release();
  } catch (...) {
    return raise_current_exception();
  }
}

PyMethodDef kOpenFileMethods[] = {
    {"header", open_file_header, METH_NOARGS,
     "(source_name, tick_rate, record_count, stored_record_count, ignored_bytes, live_dump)"},
    {"variables", open_file_variables, METH_NOARGS, "[(name, type, count, unit, desc, offset), ...]"},
    {"positions", open_file_positions, METH_NOARGS,
     "({channel name: position of its variable}, {array name: position})"},
    {"metadata", open_file_metadata, METH_NOARGS, "The metadata dict of the recording."},
    {"session_info_block", open_file_session_info_block, METH_NOARGS,
     "The session-info block's bytes as the file holds them."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&open_file_read)), METH_FASTCALL,
     "read(channel_positions, shown_count, array_positions, laps, progress, metadata, name, session_info_bytes)"
     " -> LogFile"},
    {"live_batcher", open_file_live_batcher, METH_O,
     "live_batcher(positions) -> the LiveBatcher of the variables at `positions` for live records of this layout"},
    {"close", open_file_close, METH_NOARGS, "Releases the file; a read in progress finishes first."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kOpenFileSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(open_file_dealloc)},
    {Py_tp_methods, kOpenFileMethods},
    {Py_tp_doc, const_cast<char*>("An opened IBT recording (use telvane.open).")},
    {0, nullptr},
};

PyType_Spec kOpenFileSpec = {"telvane._recording_rs.OpenFile", sizeof(OpenFile), 0, Py_TPFLAGS_DEFAULT,
                             kOpenFileSlots};

PyMethodDef kMethods[] = {
    {"open_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&open_file)), METH_FASTCALL,
     "open_file(source, recover, name) -> OpenFile; errors name a file object by `name` (a str or None)"},
    {"take_live", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&take_live)), METH_FASTCALL,
     "take_live(memory, buf_len, after, name) -> [(tick, record), ...]: the records newer than tick `after`, whole"},
    {"newest_live", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&newest_live)), METH_FASTCALL,
     "newest_live(memory, buf_len, name) -> the newest tick count, or None"},
    {"next_live", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&next_live)), METH_FASTCALL,
     "next_live(memory, buf_len, take, after, seen, rest, timeout, interval, batcher, name) -> (waited, newest,"
     " looked, ticks, records or their batch): the records newer than tick `after` (with `take`), or when there are none, those after a wait for a tick"
     " other than `seen`"},
    {"open_simulator", open_simulator, METH_NOARGS,
     "open_simulator() -> SharedMemory, the simulator's mapping and event (Windows), or None when it is not running"},
    {"next_simulator", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&next_simulator)), METH_FASTCALL,
     "next_simulator(memory, buf_len, take, after, seen, rest, timeout, interval, batcher, name) -> next_live waiting on the"
     " simulator's event"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_recording_rs", "Opened IBT recordings read in part, off the interpreter lock.", -1,
    kMethods,              nullptr,         nullptr,
    nullptr,               nullptr,
};

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (g_open_file_type == nullptr) {
    g_open_file_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kOpenFileSpec));
    if (g_open_file_type == nullptr) return nullptr;
  }
  if (!add_shared_memory_type(module.get())) return nullptr;
  PyObject* ibt_error = ibt_error_type();
  if (ibt_error == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "OpenFile", reinterpret_cast<PyObject*>(g_open_file_type)) != 0 ||
      PyModule_AddObjectRef(module.get(), "IbtError", ibt_error) != 0) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace telvane::py

PyMODINIT_FUNC PyInit__recording_rs() {
  try {
    return telvane::py::init_module();
  } catch (...) {
    return PyErr_NoMemory();
  }
}
