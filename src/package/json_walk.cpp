#include "package/json_walk.hpp"

#include <cstring>
#include <string>

#include "package/json_string.hpp"

namespace quillmark::package {
namespace {

Error syntax_error(const char* expected, std::size_t at) {
  return Error::package_text(
      std::string("not valid JSON: ") + expected + " at byte " + std::to_string(at), at);
}

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

constexpr bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// The end of the number token at text[at] ('-' or a digit), or the error.
Result<std::size_t> scan_number(std::string_view text, std::size_t at) {
  const std::size_t size = text.size();
  std::size_t pos = at;
  const auto digit_at = [&](std::size_t p) { return p < size && is_digit(text[p]); };
  if (text[pos] == '-') ++pos;
  if (!digit_at(pos)) return syntax_error("invalid number", pos);
  if (text[pos++] != '0') {
    while (digit_at(pos)) ++pos;
  }
  if (pos < size && text[pos] == '.') {
    if (!digit_at(++pos)) return syntax_error("invalid number", pos);
    while (digit_at(pos)) ++pos;
  }
  if (pos < size && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    if (pos < size && (text[pos] == '+' || text[pos] == '-')) ++pos;
    if (!digit_at(pos)) return syntax_error("invalid number", pos);
    while (digit_at(pos)) ++pos;
  }
  return pos;
}

class Walker {
 public:
  Walker(std::string_view text, JsonVisitor& visitor) : text_(text), visitor_(visitor) {}

  Status run();

 private:
  struct Level {
    JsonKind kind;
    JsonRole role;
    JsonKey key;  // of the member being read, in an object
    std::size_t start;
  };
  enum class Next { Value, FirstValue, Key, FirstKey, AfterValue, Done };

  void skip_space() noexcept {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }
  JsonRole parent_role() const noexcept {
    return depth_ == 0 ? kDocument : levels_[depth_ - 1].role;
  }
  JsonKey parent_key() const noexcept { return depth_ == 0 ? 0 : levels_[depth_ - 1].key; }
  void report(JsonKind kind, std::size_t begin, std::size_t end) {
    if (parent_role() != kIgnored) {
      visitor_.value(parent_role(), parent_key(), JsonValue{kind, TextSpan{begin, end}});
    }
  }

  Result<Next> value(bool first_in_array);
  Result<Next> key(bool first_in_object);
  Result<Next> after_value();
  Next close();

  std::string_view text_;
  JsonVisitor& visitor_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  Level levels_[kMaxJsonDepth];
};

Status Walker::run() {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  skip_space();
  Next next = Next::Value;
  for (;;) {
    Result<Next> step = Next::Done;
    switch (next) {
      case Next::Value:
      case Next::FirstValue:
        step = value(next == Next::FirstValue);
        break;
      case Next::Key:
      case Next::FirstKey:
        step = key(next == Next::FirstKey);
        break;
      case Next::AfterValue:
        step = after_value();
        break;
      case Next::Done:
        return Ok{};
    }
    if (!step) return std::move(step).error();
    next = step.value();
  }
}

// At a value (after any white space).
Result<Walker::Next> Walker::value(bool first_in_array) {
  const std::size_t at = pos_;
  if (at == text_.size()) {
    return syntax_error(first_in_array ? "expected a value or ']'" : "expected a value", at);
  }
  const char c = text_[at];
  if (c == '{' || c == '[') {
    if (depth_ == kMaxJsonDepth) {
      return Error::package_text("nested deeper than " + std::to_string(kMaxJsonDepth) +
                                     " levels at byte " + std::to_string(at),
                                 at);
    }
    const JsonKind kind = c == '{' ? JsonKind::Object : JsonKind::Array;
    const JsonRole parent = parent_role();
    const JsonRole role =
        parent == kIgnored ? kIgnored : visitor_.open(parent, parent_key(), kind, at);
    levels_[depth_++] = Level{kind, role, 0, at};
    ++pos_;
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == (c == '{' ? '}' : ']')) return close();
    return c == '{' ? Next::FirstKey : Next::FirstValue;
  }
  if (c == '"') {
    Result<std::size_t> end = scan_json_string(text_, at);
    if (!end) return std::move(end).error();
    pos_ = end.value();
    report(JsonKind::String, at, pos_);
    return Next::AfterValue;
  }
  if (c == '-' || is_digit(c)) {
    Result<std::size_t> end = scan_number(text_, at);
    if (!end) return std::move(end).error();
    pos_ = end.value();
    report(JsonKind::Number, at, pos_);
    return Next::AfterValue;
  }
  static constexpr struct {
    std::string_view word;
    JsonKind kind;
  } kLiterals[] = {{"true", JsonKind::True}, {"false", JsonKind::False}, {"null", JsonKind::Null}};
  for (const auto& literal : kLiterals) {
    if (text_.substr(at, literal.word.size()) == literal.word) {
      pos_ = at + literal.word.size();
      report(literal.kind, at, pos_);
      return Next::AfterValue;
    }
  }
  return syntax_error(first_in_array ? "expected a value or ']'" : "expected a value", at);
}

// At a member's key (after any white space), in the object on top.
Result<Walker::Next> Walker::key(bool first_in_object) {
  const std::size_t at = pos_;
  if (at == text_.size() || text_[at] != '"') {
    return syntax_error(first_in_object ? "expected a key or '}'" : "expected a key", at);
  }
  Result<std::size_t> end = scan_json_string(text_, at);
  if (!end) return std::move(end).error();
  pos_ = end.value();
  Level& object = levels_[depth_ - 1];
  object.key =
      object.role == kIgnored ? 0 : visitor_.key(object.role, text_.substr(at, pos_ - at), at);
  skip_space();
  if (pos_ == text_.size() || text_[pos_] != ':') return syntax_error("expected ':'", pos_);
  ++pos_;
  skip_space();
  return Next::Value;
}

// After a complete value.
Result<Walker::Next> Walker::after_value() {
  skip_space();
  if (depth_ == 0) {
    if (pos_ != text_.size()) return syntax_error("unexpected data after the value", pos_);
    return Next::Done;
  }
  const bool object = levels_[depth_ - 1].kind == JsonKind::Object;
  const char close_mark = object ? '}' : ']';
  if (pos_ < text_.size()) {
    if (text_[pos_] == ',') {
      ++pos_;
      skip_space();
      return object ? Next::Key : Next::Value;
    }
    if (text_[pos_] == close_mark) return close();
  }
  return syntax_error(object ? "expected ',' or '}'" : "expected ',' or ']'", pos_);
}

// At the closing bracket of the container on top.
Walker::Next Walker::close() {
  const Level closed = levels_[--depth_];
  ++pos_;
  report(closed.kind, closed.start, pos_);
  return Next::AfterValue;
}

}  // namespace

Status walk_json(std::string_view text, JsonVisitor& visitor) {
  Walker walker(text, visitor);
  return walker.run();
}

}  // namespace quillmark::package
