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

}  // namespace

// pyarrow.RecordBatchReader._import_from_c(address).read_next_batch(); every failure in
// here becomes RuntimeError naming the exception's type.
PyRef Handover::import_batch(ArrowArrayStream* stream) {
  if (!import_from_c_) {
    PyRef reader_class = attribute_of_module("pyarrow", "RecordBatchReader");
    import_from_c_ = reader_class ? PyRef::steal(PyObject_GetAttrString(reader_class.get(), "_import_from_c")) : PyRef();
    if (!import_from_c_) {
      wrap_pending_as_runtime_error();
      return {};
    }
  }
  PyRef address = PyRef::steal(PyLong_FromUnsignedLongLong(reinterpret_cast<std::uintptr_t>(stream)));
  if (!address) {
    creation_failed();
    return {};
  }
  PyRef reader = PyRef::steal(PyObject_CallOneArg(import_from_c_.get(), address.get()));
  PyRef batch = reader ? PyRef::steal(PyObject_CallMethod(reader.get(), "read_next_batch", nullptr)) : PyRef();
  if (!batch) wrap_pending_as_runtime_error();
  return batch;
}

PyRef Handover::table(RecordBatch batch) {
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
  if (!from_batches_) {
    from_batches_ = PyRef::steal(PyObject_GetAttrString(table_class_, "from_batches"));
    if (!from_batches_) return {};
  }
  return PyRef::steal(PyObject_CallOneArg(from_batches_.get(), batches.get()));
}

bool Handover::store(PyObject* tables, ChannelEntry entry) {
  PyRef table = this->table(std::move(entry.batch));
  if (!table) return false;
  PyRef name = make_str(entry.name);
  return name && PyDict_SetItem(tables, name.get(), table.get()) == 0;
}

}  // namespace telvane::py
