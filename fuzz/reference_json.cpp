#include "reference_json.hpp"

namespace quillmark::fuzz {
namespace {

class Parser {
 public:
  Parser(std::string_view text, std::size_t max_depth) : text_(text), max_depth_(max_depth) {}

  std::optional<ReferenceJson> document() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    ReferenceJson root;
    if (!value(root, 0)) return std::nullopt;
    space();
    if (pos_ != text_.size()) return std::nullopt;
    return root;
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  void space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
      ++pos_;
    }
  }
  bool eat(char c) {
    if (at_end() || peek() != c) return false;
    ++pos_;
    return true;
  }

  bool value(ReferenceJson& out, std::size_t depth) {
    space();
    if (at_end()) return false;
    out.begin = pos_;
    const char c = peek();
    bool ok;
    if (c == '{') {
      out.kind = ReferenceJson::Kind::Object;
      ok = depth < max_depth_ && object(out, depth + 1);
    } else if (c == '[') {
      out.kind = ReferenceJson::Kind::Array;
      ok = depth < max_depth_ && array(out, depth + 1);
    } else if (c == '"') {
      out.kind = ReferenceJson::Kind::String;
      ok = string(out.string);
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      out.kind = ReferenceJson::Kind::Number;
      ok = number();
    } else {
      ok = literal(out);
    }
    out.end = pos_;
    return ok;
  }

  bool object(ReferenceJson& out, std::size_t depth) {
    ++pos_;
    space();
    if (eat('}')) return true;
    for (;;) {
      space();
      std::string key;
      if (peek() != '"' || !string(key)) return false;
      space();
      if (!eat(':')) return false;
      ReferenceJson member;
      if (!value(member, depth)) return false;
      out.keys.push_back(std::move(key));
      out.values.push_back(std::move(member));
      space();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }

  bool array(ReferenceJson& out, std::size_t depth) {
    ++pos_;
    space();
    if (eat(']')) return true;
    for (;;) {
      ReferenceJson element;
      if (!value(element, depth)) return false;
      out.elements.push_back(std::move(element));
      space();
      if (eat(']')) return true;
      if (!eat(',')) return false;
    }
  }

  bool digits() {
    const std::size_t from = pos_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
    return pos_ > from;
  }

  bool number() {
    eat('-');
    if (eat('0')) {
      // a single zero
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  bool literal(ReferenceJson& out) {
    for (auto [word, kind] : {std::pair{"true", ReferenceJson::Kind::True},
                              std::pair{"false", ReferenceJson::Kind::False},
                              std::pair{"null", ReferenceJson::Kind::Null}}) {
      const std::string_view w(word);
      if (text_.substr(pos_, w.size()) == w) {
        pos_ += w.size();
        out.kind = kind;
        return true;
      }
    }
    return false;
  }

  static void append_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::optional<unsigned long> hex4() {
    if (text_.size() - pos_ < 4) return std::nullopt;
    unsigned long value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      value = value * 16 + static_cast<unsigned long>(digit);
    }
    return value;
  }

  // One code point of UTF-8 text, checked by value: the shortest form, no
  // surrogate, nothing above U+10FFFF.
  bool utf8(std::string& out) {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
    std::size_t length;
    unsigned long cp;
    if (lead >= 0xF0 && lead < 0xF8) {
      length = 4, cp = lead & 0x07;
    } else if (lead >= 0xE0) {
      length = lead < 0xF0 ? 3 : 0, cp = lead & 0x0F;
    } else if (lead >= 0xC0) {
      length = 2, cp = lead & 0x1F;
    } else {
      return false;
    }
    if (length == 0 || text_.size() - pos_ < length) return false;
    for (std::size_t i = 1; i < length; ++i) {
      const auto c = static_cast<unsigned char>(text_[pos_ + i]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const unsigned long shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (cp < shortest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(text_.substr(pos_, length));
    pos_ += length;
    return true;
  }

  bool string(std::string& out) {
    ++pos_;
    for (;;) {
      if (at_end()) return false;
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        if (!utf8(out)) return false;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_end()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          const std::optional<unsigned long> unit = hex4();
          if (!unit) return false;
          unsigned long cp = *unit;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!eat('\\') || !eat('u')) return false;
            const std::optional<unsigned long> low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
          }
          append_utf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
  }

  std::string_view text_;
  std::size_t max_depth_;
  std::size_t pos_ = 0;
};

}  // namespace

const ReferenceJson* ReferenceJson::member(std::string_view name) const {
  const ReferenceJson* found = nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == name) found = &values[i];
  }
  return found;
}

std::optional<ReferenceJson> reference_json(std::string_view text, std::size_t max_depth) {
  return Parser(text, max_depth).document();
}

}  // namespace quillmark::fuzz
