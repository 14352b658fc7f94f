#pragma once

#include "channel/channel.hpp"
#include "columns/record_batch.hpp"
#include "py_ref.hpp"

namespace telvane::py {

/// Hands `batch` to pyarrow as a one-batch C stream, without copying its buffers, and wraps
/// it with `table_class.from_batches`. Empty with a Python error set on failure.
[[nodiscard]] PyRef batch_to_table(RecordBatch batch, PyObject* table_class);

/// Hands the entry's batch over and stores the table under the entry's name in `tables`, the
/// dict both extensions return their tables in. False with a Python error set on failure.
[[nodiscard]] bool store_table(PyObject* tables, ChannelEntry entry, PyObject* table_class);

}  // namespace telvane::py
