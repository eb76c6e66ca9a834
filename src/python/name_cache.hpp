// Header-name str objects shared across the records of one read_records call.
//
// Archives repeat the same few header names in every record. Keyed by the
// name's bytes as they stand in the archive (before lower-casing), the cache
// hands out one str per distinct name instead of decoding, lower-casing and
// hashing a fresh one for every field; the dict then finds the hash already
// stored in the str. The table is small and fixed: a name that does not fit
// within a few probes (many distinct or colliding names) simply gets a fresh
// str, so hostile input costs no more than it would without the cache.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "python/owned_ref.hpp"
#include "record/text.hpp"

namespace quillmark::python {

class NameCache {
 public:
  NameCache() = default;
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;
  ~NameCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.str);
  }

  // A new reference to the lower-cased name as a str, or nullptr with an
  // exception set. `raw` must stay valid as long as the cache lives. `shared`
  // tells whether the cache keeps the str too, so that it lives (and its
  // address stays unique to this name) until the cache goes.
  PyObject* get(std::string_view raw, bool& shared) {
    shared = false;
    if (raw.size() > kMaxCachedName) return make(raw);
    const std::size_t start = hash(raw) >> (64 - kSlotBits);
    for (std::size_t probe = 0; probe < kMaxProbes; ++probe) {
      Slot& slot = slots_[(start + probe) & (kSlots - 1)];
      if (slot.str == nullptr) {
        PyObject* str = make(raw);
        if (str == nullptr) return nullptr;
        Py_INCREF(str);
        slot = Slot{raw, str};
        shared = true;
        return str;
      }
      if (slot.raw.size() == raw.size() &&
          std::memcmp(slot.raw.data(), raw.data(), raw.size()) == 0) {
        Py_INCREF(slot.str);
        shared = true;
        return slot.str;
      }
    }
    return make(raw);
  }

 private:
  static constexpr unsigned kSlotBits = 9;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::size_t kMaxProbes = 8;
  static constexpr std::size_t kMaxCachedName = 128;

  struct Slot {
    std::string_view raw;
    PyObject* str = nullptr;  // strong reference
  };

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

  PyObject* make(std::string_view raw) {
    scratch_.resize(raw.size());
    to_ascii_lower(raw, scratch_.data());
    return PyUnicode_FromStringAndSize(scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()));
  }

  std::array<Slot, kSlots> slots_{};
  std::string scratch_;
};

}  // namespace quillmark::python
