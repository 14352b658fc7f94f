#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bytes/byte_view.hpp"
#include "error/ibt_error.hpp"

namespace telvane {

/// The six element types of an IBT variable, by their code in the file.
enum class VarType : std::uint32_t { Char = 0, Bool = 1, Int = 2, BitField = 3, Float = 4, Double = 5 };

/// Bytes per element: 1, 1, 4, 4, 4, 8.
[[nodiscard]] std::uint32_t element_size(VarType type) noexcept;

/// The type's name as messages print it ("Char", "Bool", "Int", "BitField", "Float", "Double").
[[nodiscard]] std::string_view type_name(VarType type) noexcept;

/// One variable description of the file, with its texts decoded.
struct VarHeader {
  VarType type;
  std::int32_t offset;  // of the first element inside a record; checked by parse_ibt
  std::int32_t count;
  std::string name;
  std::string desc;
  std::string unit;
};

/// Parses one variable header; `bytes` holds exactly its layout::kVarHeaderSize bytes.
[[nodiscard]] Result<VarHeader> parse_var_header(ByteView bytes);

}  // namespace telvane
