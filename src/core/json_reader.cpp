#include "core/json_reader.h"

#include <cstdint>

namespace warderon {
namespace {

// Deep nesting is refused rather than followed into a stack overflow.
constexpr int kMaxDepth = 64;

class TJsonParser {
 public:
  explicit TJsonParser(std::string_view document) : text_(document) {}

  TJsonValue ParseDocument() {
    TJsonValue value = ParseValue(0);
    SkipBlanks();
    if (position_ != text_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw TJsonError("malformed JSON at offset " + std::to_string(position_) + ": " + what);
  }

  void SkipBlanks() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                        text_[position_] == '\n' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  char Peek() {
    SkipBlanks();
    if (position_ == text_.size()) Fail("unexpected end");
    return text_[position_];
  }

  void Expect(char wanted) {
    if (Peek() != wanted) Fail(std::string("expected '") + wanted + "'");
    ++position_;
  }

  TJsonValue ParseValue(int depth) {
    if (depth > kMaxDepth) Fail("nested too deeply");
    TJsonValue value;
    const char first = Peek();
    if (first == '{') {
      value.kind = TJsonValue::TKind::Object;
      ++position_;
      if (Peek() == '}') {
        ++position_;
        return value;
      }
      for (;;) {
        if (Peek() != '"') Fail("expected a member name");
        std::string name = ParseString();
        Expect(':');
        value.members.emplace_back(std::move(name), ParseValue(depth + 1));
        if (Peek() == ',') {
          ++position_;
          continue;
        }
        Expect('}');
        return value;
      }
    }
    if (first == '[') {
      value.kind = TJsonValue::TKind::Array;
      ++position_;
      if (Peek() == ']') {
        ++position_;
        return value;
      }
      for (;;) {
        value.items.push_back(ParseValue(depth + 1));
        if (Peek() == ',') {
          ++position_;
          continue;
        }
        Expect(']');
        return value;
      }
    }
    if (first == '"') {
      value.kind = TJsonValue::TKind::String;
      value.text = ParseString();
      return value;
    }
    for (const char* word : {"true", "false", "null"}) {
      if (text_.substr(position_).starts_with(word)) {
        position_ += std::string_view(word).size();
        value.kind = word[0] == 'n' ? TJsonValue::TKind::Null : TJsonValue::TKind::Boolean;
        if (word[0] != 'n') value.text = word;
        return value;
      }
    }
    const std::size_t start = position_;
    while (position_ < text_.size() &&
           std::string_view("+-.0123456789eE").find(text_[position_]) != std::string_view::npos) {
      ++position_;
    }
    if (position_ == start) Fail("unexpected character");
    value.kind = TJsonValue::TKind::Number;
    value.text = std::string(text_.substr(start, position_ - start));
    return value;
  }

  std::uint32_t ParseHex4() {
    if (position_ + 4 > text_.size()) Fail("short \\u escape");
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[position_++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        Fail("bad \\u escape");
      }
    }
    return code;
  }

  static void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  std::string ParseString() {
    ++position_;  // the opening quote
    std::string out;
    for (;;) {
      if (position_ >= text_.size()) Fail("unterminated string");
      const char c = text_[position_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (position_ >= text_.size()) Fail("unterminated escape");
      const char escaped = text_[position_++];
      switch (escaped) {
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
          std::uint32_t code = ParseHex4();
          if (code >= 0xD800 && code < 0xDC00 && text_.substr(position_).starts_with("\\u")) {
            position_ += 2;
            const std::uint32_t low = ParseHex4();
            if (low < 0xDC00 || low >= 0xE000) Fail("bad surrogate pair");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate has no UTF-8 form
          }
          AppendUtf8(out, code);
          break;
        }
        default:
          out += escaped;  // '"', '\\' and '/'
      }
    }
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace

const TJsonValue* TJsonValue::Member(std::string_view name) const {
  for (const auto& [member_name, value] : members) {
    if (member_name == name) return &value;
  }
  return nullptr;
}

std::string TJsonValue::MemberText(std::string_view name) const {
  const TJsonValue* value = Member(name);
  return value != nullptr ? value->text : std::string();
}

TJsonValue ParseJson(std::string_view document) { return TJsonParser(document).ParseDocument(); }

}  // namespace warderon
