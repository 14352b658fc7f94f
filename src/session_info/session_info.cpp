#include "session_info/session_info.hpp"

#include "bytes/utf8.hpp"

namespace telvane {

std::string extract_session_info(ByteView block) {
  const std::string_view bytes = block.chars();
  std::size_t start = bytes.find("---");
  if (start == std::string_view::npos) {
    start = bytes.find_first_not_of('\0');
    if (start == std::string_view::npos) start = 0;
  }
  const std::size_t last = bytes.find_last_not_of('\0');
  const std::size_t stop = (last == std::string_view::npos || last < start) ? start : last + 1;
  return decode_utf8_lossy(bytes.substr(start, stop - start));
}

}  // namespace telvane
