// The record batches of live records handed to pyarrow through the C data interface: the
// schema imported once per batcher, and a block of rows for several ticks imported against it
// at a time, each tick's batch a slice of it. Importing costs pyarrow several objects per
// column; a slice, about one: a batch a tick of 300 variables costs a fraction as much.

#include "live_batch.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"

namespace telvane::py {
namespace {

// The ticks a block has rows for. A batch kept holds its whole block: 16 keeps that memory
// small, while pyarrow imports a block once every 16 ticks.
constexpr std::uint64_t kBlockRows = 16;

struct LiveBatcher {
  PyObject_HEAD
  std::optional<LiveBatchPlan> plan;
  std::string name;
  bool by_path;
  PyObject* schema;  // pyarrow.Schema
  PyObject* import;  // pyarrow.RecordBatch._import_from_c
  PyObject* block;   // the pyarrow.RecordBatch of the block rows are written into, or null
  LiveRows rows;     // where its values lie: alive while `block` is held
  std::uint64_t used;  // its rows written, each in a batch handed out
};

PyTypeObject* g_type = nullptr;

LiveBatcher* as_batcher(PyObject* self) { return reinterpret_cast<LiveBatcher*>(self); }

void batcher_dealloc(PyObject* self) noexcept {
  LiveBatcher* batcher = as_batcher(self);
  batcher->plan.~optional();
  batcher->name.~basic_string();
  batcher->rows.~LiveRows();
  Py_XDECREF(batcher->schema);
  Py_XDECREF(batcher->import);
  Py_XDECREF(batcher->block);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The int32 values of a sequence; false with a Python error set.
bool ticks_of(PyObject* ticks, std::vector<std::int32_t>& out) {
  PyRef sequence = PyRef::steal(PySequence_Fast(ticks, "tick counts must be a sequence"));
  if (!sequence) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
    const long tick = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (tick == -1 && PyErr_Occurred()) return false;
    if (tick < INT32_MIN || tick > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "a tick count is a 32-bit integer");
      return false;
    }
    out.push_back(static_cast<std::int32_t>(tick));
  }
  return true;
}

PyRef address_of(const void* pointer) {
  return PyRef::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(pointer)));
}

// pyarrow.RecordBatch of a block of `count` rows; pyarrow moves the array out, leaving it
// released for its owner here.
PyRef imported_block(LiveBatcher* batcher, std::uint64_t count, LiveRows& rows) {
  nanoarrow::UniqueArray array = batcher->plan->block(count, rows);
  PyRef address = address_of(array.get());
  if (!address) return {};
  PyObject* call[] = {address.get(), batcher->schema};
  return PyRef::steal(PyObject_Vectorcall(batcher->import, call, 2, nullptr));
}

bool raise_if_failed(const LiveBatcher* batcher, const Status& status) {
  if (status.ok()) return false;
  raise_read_error(status.error(), batcher->name, batcher->by_path);
  return true;
}

// The batch of more ticks than a block holds: a block of its own.
PyObject* batch_alone(LiveBatcher* batcher, std::span<const std::int32_t> ticks, ByteView records) {
  LiveRows rows;
  PyRef batch = imported_block(batcher, ticks.size(), rows);
  if (!batch || raise_if_failed(batcher, batcher->plan->write(rows, 0, ticks, records))) return nullptr;
  return batch.release();
}

// Rows of the block are written once, before the slice that shows them is made, and never
// again: a batch handed out does not change.
PyObject* batch_of(LiveBatcher* batcher, std::span<const std::int32_t> ticks, ByteView records) {
  if (ticks.size() > kBlockRows) return batch_alone(batcher, ticks, records);
  if (batcher->block == nullptr || batcher->used + ticks.size() > kBlockRows) {
    LiveRows rows;
    PyRef block = imported_block(batcher, kBlockRows, rows);
    if (!block) return nullptr;
    Py_XSETREF(batcher->block, block.release());
    batcher->rows = std::move(rows);
    batcher->used = 0;
  }
  // The rows are taken before pyarrow is called, which may let another thread in here.
  const std::uint64_t first = batcher->used;
  if (raise_if_failed(batcher, batcher->plan->write(batcher->rows, first, ticks, records))) return nullptr;
  batcher->used = first + ticks.size();
  const PyRef block = PyRef::borrow(batcher->block);
  return PyObject_CallMethod(block.get(), "slice", "KK", static_cast<unsigned long long>(first),
                             static_cast<unsigned long long>(ticks.size()));
}

// batch(records, ticks)
PyObject* batcher_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "batch() takes exactly 2 arguments (records, ticks)");
      return nullptr;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    std::vector<std::int32_t> ticks;
    if (PyBytes_AsStringAndSize(args[0], &data, &size) != 0 || !ticks_of(args[1], ticks)) return nullptr;
    return batch_of(as_batcher(self), ticks,
                    ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* batcher_schema(PyObject* self, void* /*closure*/) noexcept {
  return Py_NewRef(as_batcher(self)->schema);
}

PyMethodDef kMethods[] = {
    {"batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&batcher_batch)), METH_FASTCALL,
     "batch(records, ticks) -> the records, one of the layout's length per tick count, as a pyarrow.RecordBatch"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"schema", batcher_schema, nullptr, "The pyarrow.Schema of every batch.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batcher_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("The record batches of live records of one layout (OpenFile.live_batcher).")},
    {0, nullptr},
};

PyType_Spec kSpec = {"telvane._recording_rs.LiveBatcher", sizeof(LiveBatcher), 0, Py_TPFLAGS_DEFAULT, kSlots};

// pyarrow.Schema._import_from_c of the plan's schema, which it copies.
PyRef imported_schema(const LiveBatchPlan& plan) {
  nanoarrow::UniqueSchema copy;
  if (ArrowSchemaDeepCopy(plan.schema(), copy.get()) != NANOARROW_OK) throw std::bad_alloc();
  PyRef schema_class = attribute_of_module("pyarrow", "Schema");
  PyRef import = schema_class ? PyRef::steal(PyObject_GetAttrString(schema_class.get(), "_import_from_c")) : PyRef();
  PyRef address = import ? address_of(copy.get()) : PyRef();
  return address ? PyRef::steal(PyObject_CallOneArg(import.get(), address.get())) : PyRef();
}

}  // namespace

PyRef make_live_batcher(LiveBatchPlan plan, const std::string& name, bool by_path) {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
    if (g_type == nullptr) return {};
  }
  PyRef schema = imported_schema(plan);
  PyRef batch_class = schema ? attribute_of_module("pyarrow", "RecordBatch") : PyRef();
  PyRef import = batch_class ? PyRef::steal(PyObject_GetAttrString(batch_class.get(), "_import_from_c")) : PyRef();
  if (!import) return {};
  std::string named = name;
  PyRef self = PyRef::steal(PyType_GenericAlloc(g_type, 0));
  if (!self) return {};
  LiveBatcher* batcher = as_batcher(self.get());
  new (&batcher->plan) std::optional<LiveBatchPlan>(std::move(plan));
  new (&batcher->name) std::string(std::move(named));
  new (&batcher->rows) LiveRows();
  batcher->by_path = by_path;
  batcher->schema = schema.release();
  batcher->import = import.release();
  batcher->block = nullptr;
  batcher->used = 0;
  return self;
}

PyObject* live_batch(PyObject* batcher, std::span<const std::int32_t> ticks, ByteView records) {
  if (g_type == nullptr || !PyObject_TypeCheck(batcher, g_type)) {
    PyErr_SetString(PyExc_TypeError, "a LiveBatcher makes the batches of live records");
    return nullptr;
  }
  return batch_of(as_batcher(batcher), ticks, records);
}

}  // namespace telvane::py
