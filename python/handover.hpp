#pragma once

#include "columns/record_batch.hpp"
#include "py_ref.hpp"

namespace telvane::py {

/// Hands `batch` to pyarrow as a one-batch C stream, without copying its buffers, and wraps
/// it with `table_class.from_batches`. Empty with a Python error set on failure.
[[nodiscard]] PyRef batch_to_table(RecordBatch batch, PyObject* table_class);

}  // namespace telvane::py
