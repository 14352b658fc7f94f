#include "columns/record_batch.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace telvane {
namespace {

class ArrowCheck {
public:
  explicit ArrowCheck(const std::string& context) : context_(context) {}

  ArrowError* error() noexcept { return &error_; }

  // Memory exhaustion is not a file error: it leaves as std::bad_alloc, like any allocation.
  [[nodiscard]] Status operator()(ArrowErrorCode code) const {
    if (code == NANOARROW_OK) return ok_status();
    if (code == ENOMEM) throw std::bad_alloc();
    std::string message = error_.message[0] != '\0' ? error_.message : std::strerror(code);
    return IbtError::arrow(context_ + ": " + message);
  }

private:
  const std::string& context_;
  ArrowError error_{};
};

#define TELVANE_ARROW_RETURN(check, expr)                                  \
  do {                                                                     \
    if (Status arrow_status_ = (check)(expr); !arrow_status_.ok()) {       \
      return arrow_status_.error();                                        \
    }                                                                      \
  } while (0)

Status set_field(ArrowSchema* field, const Column& column, ArrowCheck& check) {
  if (column.list_size > 0) {
    TELVANE_ARROW_RETURN(check, ArrowSchemaSetTypeFixedSize(field, NANOARROW_TYPE_FIXED_SIZE_LIST, column.list_size));
    TELVANE_ARROW_RETURN(check, ArrowSchemaSetType(field->children[0], column.type));
  } else {
    TELVANE_ARROW_RETURN(check, ArrowSchemaSetType(field, column.type));
  }
  TELVANE_ARROW_RETURN(check, ArrowSchemaSetName(field, column.name.c_str()));
  field->flags &= ~ARROW_FLAG_NULLABLE;
  if (column.metadata.empty()) return ok_status();
  nanoarrow::UniqueBuffer metadata;
  TELVANE_ARROW_RETURN(check, ArrowMetadataBuilderInit(metadata.get(), nullptr));
  for (const auto& [key, value] : column.metadata) {
    TELVANE_ARROW_RETURN(check, ArrowMetadataBuilderAppend(
                                    metadata.get(), {key.data(), static_cast<int64_t>(key.size())},
                                    {value.data(), static_cast<int64_t>(value.size())}));
  }
  TELVANE_ARROW_RETURN(check, ArrowSchemaSetMetadata(field, reinterpret_cast<const char*>(metadata->data)));
  return ok_status();
}

Status make_schema(ArrowSchema* schema, std::span<const Column> columns, ArrowCheck& check) {
  ArrowSchemaInit(schema);
  TELVANE_ARROW_RETURN(check, ArrowSchemaSetTypeStruct(schema, static_cast<int64_t>(columns.size())));
  schema->flags &= ~ARROW_FLAG_NULLABLE;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (Status status = set_field(schema->children[i], columns[i], check); !status.ok()) return status;
  }
  return ok_status();
}

// A zero-byte buffer stays the library's own: finishing reserves a byte in it, which a
// wrapped buffer cannot do.
Status attach_buffers(ArrowArray* array, const Column& column, std::int64_t length, ArrowCheck& check) {
  array->length = length;
  array->null_count = 0;
  if (column.list_size > 0) {  // the values belong to the list's child
    array = array->children[0];
    array->length = length * column.list_size;
    array->null_count = 0;
  }
  for (std::size_t i = 0; i < column.buffers.size(); ++i) {
    if (column.buffers[i]->size() == 0) continue;
    nanoarrow::UniqueBuffer buffer;
    wrap_column_memory(buffer.get(), column.buffers[i]);
    TELVANE_ARROW_RETURN(check, ArrowArraySetBuffer(array, static_cast<int64_t>(i + 1), buffer.get()));
  }
  return ok_status();
}

}  // namespace

Result<RecordBatch> make_record_batch(std::span<const Column> columns, std::int64_t length,
                                      const std::string& context) {
  ArrowCheck check(context);
  RecordBatch batch;
  if (Status status = make_schema(batch.schema.get(), columns, check); !status.ok()) return status.error();
  TELVANE_ARROW_RETURN(check, ArrowArrayInitFromSchema(batch.array.get(), batch.schema.get(), check.error()));
  batch.array->length = length;
  batch.array->null_count = 0;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (Status status = attach_buffers(batch.array->children[i], columns[i], length, check); !status.ok()) {
      return status.error();
    }
  }
  TELVANE_ARROW_RETURN(check, ArrowArrayFinishBuilding(batch.array.get(), NANOARROW_VALIDATION_LEVEL_FULL,
                                                       check.error()));
  return batch;
}

}  // namespace telvane
