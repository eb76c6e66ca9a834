// A seeded generator of valid archives that knows every record's place, body
// and header entries: gaps, all three separators, CR and bare-LF line ends,
// white space of every kind, mixed case, duplicates and look-alike lines.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive_checks.hpp"

namespace quillmark::testing {

using Entries = std::vector<HeaderMap::Entry>;

struct Expected {
  std::size_t offset, length;
  std::string body;
  Entries headers;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  std::string archive(std::vector<Expected>& expected) {
    std::string warc = pick({"", "\r\n", "\n\n\r\n"});
    const std::size_t count = below(30);
    for (std::size_t i = 0; i < count; ++i) {
      Expected record{warc.size(), 0, {}, {}};
      warc += record_text(record);
      const std::string separator = pick({"", "\r\n\r\n", "\n\n"});
      record.length = warc.size() + separator.size() - record.offset;
      warc += separator;
      warc += separator.empty() ? pick({"", "\r\n", "\n", "\r\n\n"})
                                : pick({"", "\r\n", "\n\n\r\n\r\n", "\r"});
      expected.push_back(std::move(record));
    }
    return warc;
  }

 private:
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(random_() % n); }
  std::string pick(std::initializer_list<const char*> choices) {
    return *(choices.begin() + below(choices.size()));
  }

  std::string white_space() {
    return pick({"", "", " ", "\t", "  \t", "\xc2\xa0", "\xe3\x80\x80"});
  }

  // ASCII letters in a random case; the expected key has them lower-cased.
  std::string mixed_case(std::string_view lower) {
    std::string out(lower);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z' && below(2)) c = static_cast<char>(c - 32);
    }
    return out;
  }

  static void put(Entries& entries, const std::string& name, const std::string& value) {
    for (auto& entry : entries) {
      if (entry.first == name) {
        entry.second = value;
        return;
      }
    }
    entries.emplace_back(name, value);
  }

  std::string record_text(Expected& record) {
    std::string body(below(40), '\0');
    for (char& c : body) c = "xy\r\n\0\xff:W"[below(8)];
    record.body = body;

    // Lines, each written after its own line end; Content-Length goes in at
    // a random place, sometimes after an invalid value of the same name.
    std::vector<std::pair<std::string, std::string>> lines;  // line end, text
    const std::size_t count = below(10);
    const std::size_t length_at = below(count + 1);
    for (std::size_t i = 0; i <= count; ++i) {
      if (i == length_at) {
        if (below(4) == 0) lines.emplace_back("\r\n", "content-length: bogus");
        std::string digits = std::string(below(3), '0') + std::to_string(body.size());
        if (below(3) == 0) digits.insert(0, "+");
        lines.emplace_back(pick({"\r\n", "\n"}), white_space() + mixed_case("content-length") +
                                                     white_space() + ":" + white_space() + digits +
                                                     white_space());
        put(record.headers, "content-length", digits);
      }
      if (i == count) break;
      switch (below(4)) {
        case 0:
          lines.emplace_back(pick({"\r\n", "\n"}), "no colon " + white_space() + "here");
          break;
        case 1:
          if (!lines.empty() && lines.back().first == "\n") {
            lines.emplace_back("\n", "");  // an empty line that cannot end the header
            lines.emplace_back("\n", "after-empty: 1");
            put(record.headers, "after-empty", "1");
            break;
          }
          [[fallthrough]];
        default: {
          const std::string name = pick({"warc-type", "x-custom", "content-type", "a", "",
                                         "\xc3\x84\xc3\x96-name", "warc-target-uri"});
          const std::string value = pick({"resource", "", "v:w:x", "Mixed Case", "a \t b",
                                          "\xe2\x80\x8bzero", "http://h:80/p?q"});
          lines.emplace_back(pick({"\r\n", "\n"}), white_space() + mixed_case(name) +
                                                       white_space() + ":" + white_space() + value +
                                                       white_space());
          put(record.headers, name, value);
        }
      }
    }
    std::string text = "WARC/1.1" + pick({"", " extra", "\t: not a header"});
    for (const auto& [end, line] : lines) text += end + line;
    return text + "\r\n\r\n" + body;
  }

  std::mt19937 random_;
};

}  // namespace quillmark::testing
