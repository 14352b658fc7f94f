#pragma once

#include "channel/channel.hpp"
#include "columns/record_batch.hpp"
#include "py_ref.hpp"

namespace telvane::py {

/// Hands the batches of one read to pyarrow, each as a one-batch C stream without copying its
/// buffers, wrapped with `table_class.from_batches`. pyarrow's entry points are looked up at
/// the first batch and kept for the others.
class Handover {
public:
  explicit Handover(PyObject* table_class) noexcept : table_class_(table_class) {}

  /// The table of `batch`; empty with a Python error set on failure.
  [[nodiscard]] PyRef table(RecordBatch batch);

  /// Stores the entry's table under the entry's name in `tables`, the dict both extensions
  /// return their tables in. False with a Python error set on failure.
  [[nodiscard]] bool store(PyObject* tables, ChannelEntry entry);

private:
  PyRef import_batch(ArrowArrayStream* stream);

  PyObject* table_class_;
  PyRef import_from_c_;  // pyarrow.RecordBatchReader._import_from_c
  PyRef from_batches_;   // table_class.from_batches
};

}  // namespace telvane::py
