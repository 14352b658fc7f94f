#pragma once

#include "py_ref.hpp"
#include "read/live_batch.hpp"

namespace telvane::py {

// telvane._recording_rs.LiveBatcher: the batches of one choice of variables of one live
// layout, its schema imported by pyarrow once (`schema`) and given with every batch:
//   batch(records, ticks) -> pyarrow.RecordBatch, `records` the bytes of one record per tick
// Errors name `name`, the memory the records came from.
[[nodiscard]] PyRef make_live_batcher(LiveBatchPlan plan, const std::string& name, bool by_path);

/// What `batch` gives, for `batcher` a LiveBatcher: a new reference, or null with a Python
/// error set.
PyObject* live_batch(PyObject* batcher, std::span<const std::int32_t> ticks, ByteView records);

}  // namespace telvane::py
