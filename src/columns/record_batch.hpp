#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nanoarrow/nanoarrow.hpp>

#include "columns/column_memory.hpp"
#include "error/ibt_error.hpp"

namespace telvane {

/// A validated Arrow record batch: a struct array and its schema.
struct RecordBatch {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;
};

/// One non-nullable column of a record batch: its field and its data buffers
/// (values, bitmap or offsets first; the characters of a Utf8 column second).
struct Column {
  std::string name;
  ArrowType type;
  std::vector<std::pair<std::string, std::string>> metadata;
  std::vector<std::shared_ptr<const ColumnMemory>> buffers;
  std::int32_t list_size = 0;  // above 0: each row is a fixed-size list of this many `type` values
};

/// The schema of a record batch of `columns` (a struct of their fields); a failure names
/// `context` as make_record_batch does.
[[nodiscard]] Result<nanoarrow::UniqueSchema> make_schema(std::span<const Column> columns, const std::string& context);

/// Fully validates `array` (a struct array) as a record batch of `schema`.
[[nodiscard]] Status validate_batch(const ArrowSchema* schema, const ArrowArray* array, const std::string& context);

/// Builds and fully validates a record batch of `length` rows from `columns`; a failure
/// names `context` (the column the batch is for) in front of the library's message.
[[nodiscard]] Result<RecordBatch> make_record_batch(std::span<const Column> columns, std::int64_t length,
                                                    const std::string& context);

}  // namespace telvane
