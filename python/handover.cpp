#include "handover.hpp"

#include <cstdint>
#include <new>

#include "errors.hpp"
#include "py_str.hpp"

namespace telvane::py {
namespace {

// Exports the batch as a stream that yields it once, then ends.
void export_stream(RecordBatch batch, ArrowArrayStream* stream) {
  if (ArrowBasicArrayStreamInit(stream, batch.schema.get(), 1) != NANOARROW_OK) throw std::bad_alloc();
  ArrowBasicArrayStreamSetArray(stream, 0, batch.array.get());
}

// pyarrow.RecordBatchReader._import_from_c(address).read_next_batch(); every failure in
// here becomes RuntimeError naming the exception's type.
PyRef import_batch(ArrowArrayStream* stream) {
  PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
  PyRef reader_class = pyarrow ? PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader")) : PyRef();
  if (!reader_class) {
    wrap_pending_as_runtime_error();
    return {};
  }
  PyRef address = PyRef::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(stream)));
  PyRef arguments = address ? PyRef::steal(PyTuple_Pack(1, address.get())) : PyRef();
  if (!arguments) {
    creation_failed();
    return {};
  }
  PyRef import_from_c = PyRef::steal(PyObject_GetAttrString(reader_class.get(), "_import_from_c"));
  PyRef reader = import_from_c ? PyRef::steal(PyObject_Call(import_from_c.get(), arguments.get(), nullptr)) : PyRef();
  PyRef batch = reader ? PyRef::steal(PyObject_CallMethod(reader.get(), "read_next_batch", nullptr)) : PyRef();
  if (!batch) wrap_pending_as_runtime_error();
  return batch;
}

}  // namespace

PyRef batch_to_table(RecordBatch batch, PyObject* table_class) {
  nanoarrow::UniqueArrayStream stream;  // released here unless pyarrow took it over
  export_stream(std::move(batch), stream.get());
  PyRef record_batch = import_batch(stream.get());
  if (!record_batch) return {};
  PyRef batches = PyRef::steal(PyList_New(1));
  if (!batches) {
    creation_failed();
    return {};
  }
  PyList_SET_ITEM(batches.get(), 0, record_batch.release());
  return PyRef::steal(PyObject_CallMethod(table_class, "from_batches", "O", batches.get()));
}

bool store_table(PyObject* tables, ChannelEntry entry, PyObject* table_class) {
  PyRef table = batch_to_table(std::move(entry.batch), table_class);
  if (!table) return false;
  PyRef name = make_str(entry.name);
  return name && PyDict_SetItem(tables, name.get(), table.get()) == 0;
}

}  // namespace telvane::py
