#include "var_header/var_header.hpp"

#include <cstring>

#include "bytes/ibt_layout.hpp"
#include "bytes/utf8.hpp"

namespace telvane {

std::uint32_t element_size(VarType type) noexcept {
  switch (type) {
    case VarType::Char:
    case VarType::Bool: return 1;
    case VarType::Int:
    case VarType::BitField:
    case VarType::Float: return 4;
    case VarType::Double: return 8;
  }
  return 0;
}

std::string_view type_name(VarType type) noexcept {
  switch (type) {
    case VarType::Char: return "Char";
    case VarType::Bool: return "Bool";
    case VarType::Int: return "Int";
    case VarType::BitField: return "BitField";
    case VarType::Float: return "Float";
    case VarType::Double: return "Double";
  }
  return "Unknown";
}

Result<VarHeader> parse_var_header(ByteView bytes) {
  const std::uint32_t code = bytes.read(layout::kVarType);
  if (code >= 6) {
    return IbtError::invalid_header("Unknown variable type: " +
                                    std::to_string(static_cast<std::int32_t>(code)));
  }
  const std::int32_t offset = bytes.read(layout::kVarOffset);
  const std::int32_t count = bytes.read(layout::kVarCount);
  if (count < 0) {
    return IbtError::invalid_header("Variable count must be non-negative, got " + std::to_string(count));
  }
  return VarHeader{static_cast<VarType>(code), offset, count, decode_utf8_lossy(bytes.text(layout::kVarName)),
                   decode_utf8_lossy(bytes.text(layout::kVarDesc)), decode_utf8_lossy(bytes.text(layout::kVarUnit))};
}

}  // namespace telvane
