#include "columns/record_batch.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
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

Status fill_schema(ArrowSchema* schema, std::span<const Column> columns, ArrowCheck& check) {
  ArrowSchemaInit(schema);
  TELVANE_ARROW_RETURN(check, ArrowSchemaSetTypeStruct(schema, static_cast<int64_t>(columns.size())));
  schema->flags &= ~ARROW_FLAG_NULLABLE;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (Status status = set_field(schema->children[i], columns[i], check); !status.ok()) return status;
  }
  return ok_status();
}

// The arrays are assembled here rather than by nanoarrow's array builder, which writes
// through one of its own allocations without checking it; every allocation below throws
// std::bad_alloc instead. Each array owns its buffer addresses, the column memory behind
// them and its children, so that a consumer may release a child on its own.
struct ArrayData {
  std::vector<const void*> buffers{nullptr};  // no validity bitmap: nothing is null
  std::vector<std::shared_ptr<const ColumnMemory>> memory;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;

  ArrayData() = default;
  ArrayData(const ArrayData&) = delete;
  ArrayData& operator=(const ArrayData&) = delete;
  ~ArrayData() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }

  /// Room for `count` children, to be adopted in place.
  void reserve_children(std::size_t count) {
    children.resize(count, ArrowArray{});
    for (ArrowArray& child : children) child_pointers.push_back(&child);
  }
};

void release_array(ArrowArray* array) noexcept {
  delete static_cast<ArrayData*>(array->private_data);
  array->release = nullptr;
}

void adopt(ArrowArray* array, std::unique_ptr<ArrayData> data, std::int64_t length) noexcept {
  array->length = length;
  array->null_count = 0;
  array->offset = 0;
  array->n_buffers = static_cast<std::int64_t>(data->buffers.size());
  array->n_children = static_cast<std::int64_t>(data->children.size());
  array->buffers = data->buffers.data();
  array->children = data->child_pointers.data();
  array->dictionary = nullptr;
  array->release = &release_array;
  array->private_data = data.release();
}

// A column's array: its values, or a fixed-size list whose child holds them.
void adopt_column(ArrowArray* array, const Column& column, std::int64_t length) {
  auto values = std::make_unique<ArrayData>();
  for (const auto& memory : column.buffers) values->buffers.push_back(memory->data());
  values->memory = column.buffers;
  if (column.list_size == 0) return adopt(array, std::move(values), length);
  auto list = std::make_unique<ArrayData>();
  list->reserve_children(1);
  adopt(&list->children[0], std::move(values), length * column.list_size);
  adopt(array, std::move(list), length);
}

void make_array(ArrowArray* array, std::span<const Column> columns, std::int64_t length) {
  auto batch = std::make_unique<ArrayData>();
  batch->reserve_children(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) adopt_column(&batch->children[i], columns[i], length);
  adopt(array, std::move(batch), length);
}

}  // namespace

Result<nanoarrow::UniqueSchema> make_schema(std::span<const Column> columns, const std::string& context) {
  ArrowCheck check(context);
  nanoarrow::UniqueSchema schema;
  if (Status status = fill_schema(schema.get(), columns, check); !status.ok()) return status.error();
  return schema;
}

Status validate_batch(const ArrowSchema* schema, const ArrowArray* array, const std::string& context) {
  ArrowCheck check(context);
  nanoarrow::UniqueArrayView view;
  TELVANE_ARROW_RETURN(check, ArrowArrayViewInitFromSchema(view.get(), schema, check.error()));
  TELVANE_ARROW_RETURN(check, ArrowArrayViewSetArray(view.get(), array, check.error()));
  TELVANE_ARROW_RETURN(check, ArrowArrayViewValidate(view.get(), NANOARROW_VALIDATION_LEVEL_FULL, check.error()));
  return ok_status();
}

Result<RecordBatch> make_record_batch(std::span<const Column> columns, std::int64_t length,
                                      const std::string& context) {
  Result<nanoarrow::UniqueSchema> schema = make_schema(columns, context);
  if (!schema.ok()) return schema.error();
  RecordBatch batch{std::move(schema).value(), {}};
  make_array(batch.array.get(), columns, length);
  if (Status valid = validate_batch(batch.schema.get(), batch.array.get(), context); !valid.ok()) return valid.error();
  return batch;
}

}  // namespace telvane
