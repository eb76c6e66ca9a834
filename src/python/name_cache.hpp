// Header-name str objects shared across the records of one read_records call.
//
// Archives repeat the same few header names in every record. Keyed by the
// name's bytes as they stand in the archive (before lower-casing), the cache
// keeps one entry per distinct name: one str instead of decoding,
// lower-casing and hashing a fresh one for every field (the dict then finds
// the hash already stored in the str), and the memo of that name's recent
// values. The table is small and fixed: a name that does not fit within a
// few probes (many distinct or colliding names) is simply not cached, so
// hostile input costs no more than it would without the cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <utility>

#include "python/owned_ref.hpp"
#include "python/value_memo.hpp"
#include "record/text.hpp"

namespace quillmark::python {

// `Text` is how texts are kept, as in BasicValueMemo.
template <class Text>
struct BasicNameEntry {
  BasicNameEntry(std::string_view raw_name, OwnedRef lowered)
      : raw(raw_name), str(std::move(lowered)) {}

  Text raw;      // as in the archive
  OwnedRef str;  // the lower-cased name
  BasicValueMemo<Text> values;
};

template <class Text>
class BasicNameCache {
 public:
  using NameEntry = BasicNameEntry<Text>;

  BasicNameCache() = default;
  BasicNameCache(const BasicNameCache&) = delete;
  BasicNameCache& operator=(const BasicNameCache&) = delete;

  // Sets `entry` to the entry of `raw`, made on first sight, or to nullptr
  // when the name is not cached; the caller then makes its own str with
  // `make`. An entry, and the address of its str, lives and stays unique to
  // its name as long as the cache does. With views for texts, `raw` must
  // stay valid that long too.
  // Returns false with an exception set on failure.
  bool lookup(std::string_view raw, NameEntry*& entry) {
    entry = nullptr;
    if (raw.size() > kMaxCachedName) return true;
    const std::size_t start = hash(raw) >> (64 - kSlotBits);
    for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
      NameEntry*& slot = slots_[(start + probe) & (kSlots - 1)];
      if (slot == nullptr) {
        OwnedRef str = make(raw);
        if (!str) return false;
        slot = &entries_.emplace_back(raw, std::move(str));
        entry = slot;
        return true;
      }
      if (slot->raw == raw) {
        entry = slot;
        return true;
      }
    }
    return true;
  }

  // A new str of the lower-cased name, or null with an exception set.
  OwnedRef make(std::string_view raw) {
    scratch_.resize(raw.size());
    to_ascii_lower(raw, scratch_.data());
    return new_str(scratch_);
  }

 private:
  static constexpr unsigned kSlotBits = 9;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::size_t kMaxProbes = 8;
  static constexpr std::size_t kMaxCachedName = 128;

  static std::uint64_t hash(std::string_view raw) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    const char* p = raw.data();
    std::size_t n = raw.size();
    std::uint64_t h = n * kMul;
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      h = (h ^ word) * kMul;
      h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    // The top bits of a product depend on every bit of its factors; they pick the slot.
    return (h ^ tail) * kMul;
  }

  std::array<NameEntry*, kSlots> slots_{};
  std::deque<NameEntry> entries_;  // a deque never moves what it holds
  std::string scratch_;
};

using NameCache = BasicNameCache<std::string_view>;

}  // namespace quillmark::python
