// The SHA-256 block function on the x86 SHA extensions: two rounds per
// sha256rnds2, the message schedule by sha256msg1/sha256msg2. The state
// lives in two registers as the instructions want it, ABEF and CDGH.
//
// Compiled for those instructions alone (the target attribute), so that the
// rest of the build runs on any x86-64; it is called only where cpuid says the
// processor has them.
#if defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#include "digest/sha256_blocks.hpp"

namespace quillmark::digest::sha256_detail {

#define QM_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace {

// Four rounds, 4 * group to 4 * group + 3, with the schedule work that goes
// with them: the words of group + 1 finished (sha256msg2), the first half of
// those of group + 3 begun (sha256msg1). `m` holds four groups of words in a
// ring: m[g % 4] is group g.
template <int group>
QM_SHA_TARGET inline __attribute__((always_inline)) void four_rounds(__m128i& abef, __m128i& cdgh,
                                                                     __m128i (&m)[4]) noexcept {
  __m128i& current = m[group % 4];
  __m128i words = _mm_add_epi32(
      current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
  if constexpr (group >= 3 && group <= 14) {
    __m128i& next = m[(group + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(current, m[(group + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, current);
  }
  words = _mm_shuffle_epi32(words, 0x0E);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
  if constexpr (group >= 1 && group <= 12) {
    __m128i& previous = m[(group + 3) % 4];
    previous = _mm_sha256msg1_epu32(previous, current);
  }
}

template <int... groups>
QM_SHA_TARGET inline __attribute__((always_inline)) void all_rounds(
    __m128i& abef, __m128i& cdgh, __m128i (&m)[4], std::integer_sequence<int, groups...>) noexcept {
  (four_rounds<groups>(abef, cdgh, m), ...);
}

}  // namespace

QM_SHA_TARGET void sha_extension_blocks(std::uint32_t* state, const unsigned char* data,
                                        std::size_t blocks) noexcept {
  // Words are big-endian in the message: reverse the bytes of each.
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i m[4];
    for (int i = 0; i < 4; ++i) {
      m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                              byte_swap);
    }
    all_rounds(abef, cdgh, m, std::make_integer_sequence<int, 16>());
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool sha_extensions_available() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & bit_SSSE3) != 0, sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
}

}  // namespace quillmark::digest::sha256_detail

#endif  // __x86_64__
