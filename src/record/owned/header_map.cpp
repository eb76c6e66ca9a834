#include "record/owned/header_map.hpp"

#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace quillmark {
namespace {

struct SipKey {
  std::uint64_t k0, k1;
};

// Drawn once per process from the OS random source. Should getrandom fail
// (a kernel without it), the clock and an address still vary the key; the
// hashing stays correct, only less resistant to crafted collisions.
SipKey make_key() noexcept {
  SipKey key{};
  std::size_t got = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&key);
  while (got < sizeof key) {
    const ssize_t n = getrandom(bytes + got, sizeof key - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof key) {
    key.k0 ^=
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key.k1 ^= reinterpret_cast<std::uintptr_t>(&key);
  }
  return key;
}

const SipKey& process_key() noexcept {
  static const SipKey key = make_key();
  return key;
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

// SipHash-1-3.
std::uint64_t siphash13(const SipKey& key, std::string_view data) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  const std::size_t whole = n & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
  for (std::size_t i = whole; i < n; ++i)
    last |= static_cast<std::uint64_t>(p[i]) << (8 * (i - whole));
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

std::uint64_t seeded_name_hash(std::string_view name) noexcept {
  return siphash13(process_key(), name);
}

std::size_t HeaderMap::find_index(std::string_view name) const noexcept {
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].first == name) return i;
    }
    return entries_.size();
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = seeded_name_hash(name) & mask;; slot = (slot + 1) & mask) {
    const std::size_t index = slots_[slot];
    if (index == kEmpty) return entries_.size();
    if (entries_[index].first == name) return index;
  }
}

void HeaderMap::index_insert(std::size_t entry) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = seeded_name_hash(entries_[entry].first) & mask;
  while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
  slots_[slot] = entry;
}

void HeaderMap::rebuild_index() {
  std::size_t size = 16;
  while (size < 2 * (entries_.size() + 1)) size *= 2;  // load factor at most 1/2
  slots_.assign(size, kEmpty);
  for (std::size_t i = 0; i < entries_.size(); ++i) index_insert(i);
}

void HeaderMap::insert(std::string name, std::string value) {
  const std::size_t found = find_index(name);
  if (found < entries_.size()) {
    entries_[found].second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(name), std::move(value));
  if (entries_.size() <= kLinearLimit) return;
  if (2 * entries_.size() > slots_.size()) {
    rebuild_index();
  } else {
    index_insert(entries_.size() - 1);
  }
}

const std::string* HeaderMap::find(std::string_view name) const noexcept {
  const std::size_t found = find_index(name);
  return found < entries_.size() ? &entries_[found].second : nullptr;
}

}  // namespace quillmark
