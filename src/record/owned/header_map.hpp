// HeaderMap: lower-cased header name to trimmed value, one value per name.
// Part of the owned-value model (see parse_records.hpp), which the Python
// module does not use: it builds its dicts from the view-based index.
//
// Entries iterate in archive order: the position where a name first appears,
// holding the value of its last occurrence. Lookups and inserts stay constant
// time on average even for adversarial names: past a handful of entries a
// SipHash-1-3 index keyed from the operating system's random source is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmark {

class HeaderMap {
 public:
  using Entry = std::pair<std::string, std::string>;

  // Inserts or replaces. `name` must already be lower-cased and trimmed.
  void insert(std::string name, std::string value);
  const std::string* find(std::string_view name) const noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.cbegin(); }
  auto end() const noexcept { return entries_.cend(); }

  friend bool operator==(const HeaderMap& a, const HeaderMap& b) {
    return a.entries_ == b.entries_;
  }

 private:
  // Below this many entries a linear scan beats hashing.
  static constexpr std::size_t kLinearLimit = 8;
  static constexpr std::size_t kEmpty = SIZE_MAX;

  std::size_t find_index(std::string_view name) const noexcept;
  void rebuild_index();
  void index_insert(std::size_t entry);

  std::vector<Entry> entries_;
  std::vector<std::size_t> slots_;  // open addressing, power-of-two size
};

// Keyed hash of a name, seeded once per process from the OS random source.
std::uint64_t seeded_name_hash(std::string_view name) noexcept;

}  // namespace quillmark
