// The extension module telvane._telvane_rs and its one function, ibt.

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "errors.hpp"
#include "handover.hpp"
#include "log_file.hpp"
#include "metadata.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "read/read_recording.hpp"
#include "source.hpp"
#include "unlocked.hpp"

namespace telvane::py {
namespace {

struct Arguments {
  PyObject* source = nullptr;
  PyObject* progress = nullptr;  // nullptr when absent or None
};

constexpr const char* kParameterNames[] = {"source", "progress"};

std::optional<Arguments> parse_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (positional > 2) {
    PyErr_Format(PyExc_TypeError, "ibt() takes from 1 to 2 positional arguments but %zd were given", positional);
    return std::nullopt;
  }
  PyObject* values[2] = {positional > 0 ? args[0] : nullptr, positional > 1 ? args[1] : nullptr};
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    int slot = -1;
    for (int j = 0; j < 2; ++j) {
      if (PyUnicode_CompareWithASCIIString(name, kParameterNames[j]) == 0) slot = j;
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "ibt() got an unexpected keyword argument '%U'", name);
      return std::nullopt;
    }
    if (values[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "ibt() got multiple values for argument '%s'", kParameterNames[slot]);
      return std::nullopt;
    }
    values[slot] = args[positional + i];
  }
  if (values[0] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "ibt() missing 1 required positional argument: 'source'");
    return std::nullopt;
  }
  return Arguments{values[0], values[1] == Py_None ? nullptr : values[1]};
}

/// What ibt makes off the interpreter lock: the read, and each channel's table (or why it
/// could not be made) in the order of the read's channels.
struct ChannelTables {
  ReadResult read;
  std::vector<Result<RecordBatch>> tables;
};

// Each channel's table: the time base and its values, handed over on their own.
Result<ChannelTables> read_channel_tables(const IbtFile& file, const ReadRequest& request) {
  Result<ReadResult> read = read_recording(file, request, nullptr);
  if (!read.ok()) return read.error();
  ChannelTables made{std::move(read).value(), {}};
  for (const Column& column : made.read.channels) {
    made.tables.push_back(make_channel_table(made.read.timecodes, {column}));
  }
  return made;
}

bool store_channel(PyObject* channels, ChannelTables& made, std::size_t k, Handover& handover) {
  Result<RecordBatch>& batch = made.tables[k];
  if (!batch.ok()) {
    raise_error(batch.error());
    return false;
  }
  return handover.store(channels, {made.read.channels[k].name, std::move(batch).value()});
}

bool report_progress(PyObject* progress, std::size_t done, std::size_t total) {
  PyRef k = PyRef::steal(PyLong_FromSize_t(done));
  PyRef n = k ? PyRef::steal(PyLong_FromSize_t(total)) : PyRef();
  if (!n) {
    creation_failed();
    return false;
  }
  return PyRef::steal(PyObject_CallFunctionObjArgs(progress, k.get(), n.get(), nullptr)).get() != nullptr;
}

// Fills `channels` in file order and reports each scalar variable, duplicates of a name
// included: the name's table is stored where its first variable comes.
bool add_channels(PyObject* channels, ChannelTables& made, const std::vector<bool>& new_name, Handover& handover,
                  PyObject* progress) {
  const std::size_t total = new_name.size();
  std::size_t next = 0;
  for (std::size_t k = 0; k < total; ++k) {
    if (new_name[k] && !store_channel(channels, made, next++, handover)) return false;
    if (progress != nullptr && !report_progress(progress, k + 1, total)) return false;
  }
  return true;
}

// The records are gathered and the tables made off the interpreter lock; only their
// hand-over to pyarrow, the metadata and the LogFile need it.
PyRef convert(const Arguments& arguments) {
  std::optional<ResolvedSource> source = resolve_source(arguments.source);
  if (!source) return {};
  const IbtFile& file = source->file;

  ScalarChannels scalars = scalar_channels(file);
  ReadRequest request{scalars.vars, {}, true, LapCounter::Bits32};
  Result<ChannelTables> read = unlocked([&file, &request] { return read_channel_tables(file, request); });
  if (!read.ok()) {
    raise_error(read.error());
    return {};
  }
  PyRef table_class = attribute_of_module("pyarrow", "Table");
  if (!table_class) return {};
  Handover handover(table_class.get());
  PyRef channels = PyRef::steal(PyDict_New());
  if (!channels) {
    creation_failed();
    return {};
  }
  ChannelTables& made = read.value();
  if (!add_channels(channels.get(), made, scalars.new_name, handover, arguments.progress)) return {};
  Result<RecordBatch>& laps_batch = *made.read.laps;
  if (!laps_batch.ok()) {
    raise_error(laps_batch.error());
    return {};
  }
  // Nothing built from the file may be returned if it changed while it was read.
  if (Status complete = check_unchanged(file); !complete.ok()) {
    raise_error(complete.error(), source->path());
    return {};
  }
  PyRef laps = handover.table(std::move(laps_batch).value());
  if (!laps) return {};
  PyRef metadata = build_metadata(file);
  if (!metadata) return {};

  PyRef name = make_path_str(source->name);
  if (!name) return {};
  unlocked([&source] { source.reset(); });  // unmapping a large file takes a while
  LogFileParts parts;
  parts.channels = std::move(channels);
  parts.laps = std::move(laps);
  parts.metadata = std::move(metadata);
  parts.name = std::move(name);
  return make_log_file(parts);
}

PyObject* ibt(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  try {
    const std::optional<Arguments> arguments = parse_arguments(args, nargsf, kwnames);
    if (!arguments) return nullptr;
    const PyRef source = PyRef::borrow(arguments->source);
    const PyRef progress = PyRef::borrow(arguments->progress);
    PyObject* result = convert(*arguments).release();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (...) {
    return raise_current_exception();
  }
}

constexpr const char kIbtDoc[] =
    "ibt(source, progress=None)\n--\n\nParse an iRacing IBT file and return a LogFile.\n\n"
    "Note: Array variables (those with count > 1, e.g. tire temp arrays)\n"
    "are not included as channels. Only scalar (count == 1) variables are\n"
    "returned.";

PyMethodDef kMethods[] = {
    {"ibt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ibt)), METH_FASTCALL | METH_KEYWORDS,
     kIbtDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (not -1) makes CPython call the init function again for every interpreter
// that imports the module, so that a sub-interpreter is refused instead of handed a copy.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_telvane_rs", "Parser for iRacing IBT telemetry files.", 0, nullptr,
    nullptr,               nullptr,       nullptr,                                  nullptr,
};

bool add_function(PyObject* module, PyMethodDef* method) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  PyRef function = module_name ? PyRef::steal(PyCFunction_NewEx(method, module, module_name.get())) : PyRef();
  if (!function) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return false;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString(method->ml_name));
  return name && PyList_Append(all.get(), name.get()) == 0 &&
         PyModule_AddObjectRef(module, method->ml_name, function.get()) == 0;
}

PyObject* init_module() {
  static PyObject* module = nullptr;  // kept for the life of the process
  static std::int64_t interpreter = -1;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (module != nullptr) {
    if (current != interpreter) {
      PyErr_SetString(PyExc_ImportError, "telvane._telvane_rs does not support sub-interpreters");
      return nullptr;
    }
    return Py_NewRef(module);
  }
  interpreter = current;
  PyRef created = PyRef::steal(PyModule_Create(&kModule));
  if (!created || !add_function(created.get(), &kMethods[0])) return nullptr;
  module = Py_NewRef(created.get());
  return created.release();
}

}  // namespace
}  // namespace telvane::py

PyMODINIT_FUNC PyInit__telvane_rs() {
  try {
    return telvane::py::init_module();
  } catch (...) {
    return PyErr_NoMemory();
  }
}
