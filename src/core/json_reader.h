// A small reader for JSON documents that system tools print (Samba's status,
// for one). Values keep their members in document order; numbers keep their
// text. Malformed input raises TJsonError with the offset.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace warderon {

class TJsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TJsonValue {
  enum class TKind { Null, Boolean, Number, String, Array, Object };
  TKind kind = TKind::Null;
  std::string text;  // a string's content, a number's text, "true" or "false"
  std::vector<TJsonValue> items;
  std::vector<std::pair<std::string, TJsonValue>> members;

  // The member of an object with this name, or null when there is none.
  const TJsonValue* Member(std::string_view name) const;
  // A member's string or number text, or empty.
  std::string MemberText(std::string_view name) const;
};

TJsonValue ParseJson(std::string_view document);

}  // namespace warderon
