// The last few distinct values of one header name, shared across the records
// of one read_records call.
//
// Many header values repeat from record to record: WARC-Type and Content-Type
// take a handful of values, a crawl's WARC-Warcinfo-ID never changes, and a
// request and its response share their WARC-Date and WARC-Target-URI. Handing
// out the str made for an equal earlier value saves making, and later
// freeing, a new one; values are immutable, so only identity can tell.
//
// Names whose values rarely repeat (record ids, digests, lengths) would pay
// for the comparisons and gain nothing, so a memo that misses far more often
// than it hits stops looking and hands out fresh strs from then on.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "python/owned_ref.hpp"

namespace quillmark::python {

inline OwnedRef new_str(std::string_view text) {
  return OwnedRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// `Text` is how the memo keeps the texts of its values: std::string_view when
// they stay valid as long as the memo (an archive in memory), std::string when
// they do not (a file read in pieces).
template <class Text>
class BasicValueMemo {
 public:
  // A str equal to `value`, or null with an exception set. With views for
  // texts, `value` must stay valid as long as the memo lives.
  OwnedRef get(std::string_view value) {
    if (!active_) return new_str(value);
    for (Entry& entry : entries_) {
      if (entry.str && entry.text == value) {
        ++hits_;
        return OwnedRef::borrow(entry.str.get());
      }
    }
    OwnedRef str = new_str(value);
    if (!str) return str;
    if (++misses_ >= kTrialMisses && hits_ * kMinHitShare < misses_) {
      active_ = false;
      entries_ = {};
      return str;
    }
    Entry& oldest = entries_[next_];
    next_ = (next_ + 1) % kEntries;
    oldest.text = value;
    oldest.str = OwnedRef::borrow(str.get());
    return str;
  }

 private:
  static constexpr std::size_t kEntries = 4;
  // After this many misses the memo must have hit at least once per
  // kMinHitShare misses to keep going: a hit saves far more than the few
  // comparisons a miss costs, so a modest share already pays.
  static constexpr std::size_t kTrialMisses = 64;
  static constexpr std::size_t kMinHitShare = 8;

  struct Entry {
    Text text;
    OwnedRef str;
  };

  std::array<Entry, kEntries> entries_{};
  std::size_t next_ = 0;
  std::size_t hits_ = 0;
  std::size_t misses_ = 0;
  bool active_ = true;
};

using ValueMemo = BasicValueMemo<std::string_view>;

}  // namespace quillmark::python
