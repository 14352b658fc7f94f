#include "var_header/var_header.hpp"

#include <cstring>

#include "reader/utf8.hpp"

namespace telvane {
namespace {

// A text field ends at its first NUL; a field without one is used whole.
std::string read_text(ByteView header, std::size_t offset, std::size_t width) {
  std::string_view field = header.chars().substr(offset, width);
  field = field.substr(0, field.find('\0'));
  return decode_utf8_lossy(field);
}

}  // namespace

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
  const auto code = bytes.load_unchecked<std::uint32_t>(0);
  if (code >= 6) {
    return IbtError::invalid_header("Unknown variable type: " +
                                    std::to_string(static_cast<std::int32_t>(code)));
  }
  const auto offset = bytes.load_unchecked<std::int32_t>(4);
  const auto count = bytes.load_unchecked<std::int32_t>(8);
  if (count < 0) {
    return IbtError::invalid_header("Variable count must be non-negative, got " + std::to_string(count));
  }
  return VarHeader{static_cast<VarType>(code), offset, count, read_text(bytes, 16, 32),
                   read_text(bytes, 48, 64), read_text(bytes, 112, 32)};
}

}  // namespace telvane
