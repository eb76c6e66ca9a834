#include "record/scanner.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmark::scan_detail {

std::size_t find_terminator(std::string_view data, std::size_t from) noexcept {
  const char* const base = data.data();
  const std::size_t size = data.size();
  std::size_t pos = from;
#if defined(__SSE2__)
  // Candidates are positions holding CR with LF three bytes on; header lines
  // end in CR LF followed by a letter, so nearly every candidate is the real
  // terminator, and 16 positions are ruled out per step.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (size >= 19 && pos <= size - 19) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + pos));
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + pos + 3));
    unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(first, cr), _mm_cmpeq_epi8(last, lf))));
    while (hits != 0) {
      const std::size_t at = pos + static_cast<unsigned>(__builtin_ctz(hits));
      if (base[at + 1] == '\n' && base[at + 2] == '\r') return at;
      hits &= hits - 1;
    }
    pos += 16;
  }
#endif
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
