// The portable SHA-256 block function: FIPS 180-4 as written, with the
// message schedule kept in a 16-word ring.
#include "digest/sha256_blocks.hpp"

namespace quillmark::digest::sha256_detail {

const std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

constexpr std::uint32_t rotr(std::uint32_t x, int n) noexcept {
  return (x >> n) | (x << (32 - n));
}

inline std::uint32_t load_big_endian(const unsigned char* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// One round; the caller rotates the roles of the eight working variables
// instead of moving their values, so that each stays in its register.
#define QM_SHA256_ROUND(a, b, c, d, e, f, g, h, k, w)                                    \
  do {                                                                                   \
    const std::uint32_t t1 =                                                             \
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + (k) + (w); \
    d += t1;                                                                             \
    h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));   \
  } while (0)

// Eight rounds from round `t`, on words w[t % 16 ...] already scheduled.
#define QM_SHA256_EIGHT(t)                                                                \
  do {                                                                                    \
    QM_SHA256_ROUND(a, b, c, d, e, f, g, h, kRoundConstants[(t)], w[(t)&15]);             \
    QM_SHA256_ROUND(h, a, b, c, d, e, f, g, kRoundConstants[(t) + 1], w[((t) + 1) & 15]); \
    QM_SHA256_ROUND(g, h, a, b, c, d, e, f, kRoundConstants[(t) + 2], w[((t) + 2) & 15]); \
    QM_SHA256_ROUND(f, g, h, a, b, c, d, e, kRoundConstants[(t) + 3], w[((t) + 3) & 15]); \
    QM_SHA256_ROUND(e, f, g, h, a, b, c, d, kRoundConstants[(t) + 4], w[((t) + 4) & 15]); \
    QM_SHA256_ROUND(d, e, f, g, h, a, b, c, kRoundConstants[(t) + 5], w[((t) + 5) & 15]); \
    QM_SHA256_ROUND(c, d, e, f, g, h, a, b, kRoundConstants[(t) + 6], w[((t) + 6) & 15]); \
    QM_SHA256_ROUND(b, c, d, e, f, g, h, a, kRoundConstants[(t) + 7], w[((t) + 7) & 15]); \
  } while (0)

// The next sixteen words of the schedule, in place of the last sixteen.
inline void schedule_sixteen(std::uint32_t (&w)[16]) noexcept {
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t w15 = w[(i + 1) & 15], w2 = w[(i + 14) & 15];
    w[i] += (rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3)) + w[(i + 9) & 15] +
            (rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10));
  }
}

}  // namespace

void portable_blocks(std::uint32_t* state, const unsigned char* data, std::size_t blocks) noexcept {
  for (; blocks > 0; --blocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_big_endian(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; t += 16) {
      if (t > 0) schedule_sixteen(w);
      QM_SHA256_EIGHT(t);
      QM_SHA256_EIGHT(t + 8);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef QM_SHA256_EIGHT
#undef QM_SHA256_ROUND

}  // namespace quillmark::digest::sha256_detail
