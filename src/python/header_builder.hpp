// HeaderBuilder: the headers dict of each record, one record after another.
//
// Keys are the lower-cased header names in the order they first appear; a
// later duplicate replaces the value in place, which is what the dict does on
// its own. Across records the builder shares what repeats: one str per header
// name (NameCache), the recent values of each name (ValueMemo), and a ready
// dict for a layout that repeats (HeaderShape).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "python/header_shape.hpp"
#include "python/name_cache.hpp"
#include "python/owned_ref.hpp"
#include "python/value_memo.hpp"
#include "record/record_index.hpp"

namespace quillmark::python {

// `Text` is how the caches keep texts (see BasicValueMemo): with views, the
// texts of every field handed to the builder must stay valid as long as the
// builder lives.
template <class Text>
class BasicHeaderBuilder {
  using NameEntry = BasicNameEntry<Text>;

 public:
  // A new dict of one record's header fields, given in archive order; null
  // with an exception set on failure.
  OwnedRef to_dict(std::span<const FieldView> fields) {
    previous_.swap(current_);
    current_.clear();
    keys_.clear();
    uncached_.clear();
    bool all_shared = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      NameEntry* entry = predicted(i, fields[i].name);
      if (entry == nullptr && !names_.lookup(fields[i].name, entry)) return {};
      if (entry != nullptr) {
        keys_.emplace_back(entry->str.get());
      } else {
        OwnedRef key = names_.make(fields[i].name);
        if (!key) return {};
        uncached_.push_back(std::move(key));
        keys_.emplace_back(uncached_.back().get());
      }
      current_.push_back(entry);
      all_shared = all_shared && entry != nullptr;
    }
    OwnedRef headers;
    if (!shape_.copy_for(keys_, all_shared, headers)) return {};
    if (!headers) headers.reset(PyDict_New());
    if (!headers) return {};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      OwnedRef value = current_[i] != nullptr ? current_[i]->values.get(fields[i].value)
                                              : new_str(fields[i].value);
      if (!value || PyDict_SetItem(headers.get(), keys_[i].get(), value.get()) != 0) return {};
    }
    return headers;
  }

 private:
  // Most records write their names in the same order as the record before,
  // so the entry at the same position is tried before the cache's table.
  NameEntry* predicted(std::size_t position, std::string_view raw) const {
    if (position >= previous_.size()) return nullptr;
    NameEntry* entry = previous_[position];
    return entry != nullptr && entry->raw == raw ? entry : nullptr;
  }

  BasicNameCache<Text> names_;
  HeaderShape shape_;
  // Per field of the record being made: its key, owned by the name cache or
  // by uncached_, and its cache entry (null when the name is not cached).
  std::vector<BorrowedRef> keys_;
  std::vector<OwnedRef> uncached_;
  std::vector<NameEntry*> current_;
  std::vector<NameEntry*> previous_;  // the entries of the record before
};

// For an archive in memory, whose texts outlive the builder.
using HeaderBuilder = BasicHeaderBuilder<std::string_view>;
// For records read in pieces, whose texts go once they are made.
using OwningHeaderBuilder = BasicHeaderBuilder<std::string>;

}  // namespace quillmark::python
