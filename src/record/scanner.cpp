#include "record/scanner.hpp"

namespace quillmark::scan_detail {

std::size_t find_terminator(std::string_view data, std::size_t from) noexcept {
  const char* const base = data.data();
  const std::size_t size = data.size();
  std::size_t pos = from;
  while (size >= 4 && pos <= size - 4) {
    const void* cr = std::memchr(base + pos, '\r', size - 3 - pos);
    if (cr == nullptr) return std::string_view::npos;
    pos = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
    if (base[pos + 1] == '\n' && base[pos + 2] == '\r' && base[pos + 3] == '\n') return pos;
    ++pos;
  }
  return std::string_view::npos;
}

}  // namespace quillmark::scan_detail
