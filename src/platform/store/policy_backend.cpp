#include "platform/store/policy_backend.h"

#include <utility>

namespace warderon {

TPolicyValue TPolicyValue::MakeText(std::string value) {
  TPolicyValue result;
  result.type = TPolicyValueType::Text;
  result.text = std::move(value);
  return result;
}

TPolicyValue TPolicyValue::MakeExpandText(std::string value) {
  TPolicyValue result;
  result.type = TPolicyValueType::ExpandText;
  result.text = std::move(value);
  return result;
}

TPolicyValue TPolicyValue::MakeInteger(std::int32_t value) {
  TPolicyValue result;
  result.type = TPolicyValueType::Integer;
  result.integer = value;
  return result;
}

TPolicyValue TPolicyValue::MakeBinary(std::vector<std::uint8_t> value) {
  TPolicyValue result;
  result.type = TPolicyValueType::Binary;
  result.binary = std::move(value);
  return result;
}

std::string PolicyValueTypeName(TPolicyValueType type) {
  switch (type) {
    case TPolicyValueType::Text:
      return "string";
    case TPolicyValueType::ExpandText:
      return "expandstring";
    case TPolicyValueType::Integer:
      return "integer";
    case TPolicyValueType::Binary:
      return "binary";
    case TPolicyValueType::Unknown:
      break;
  }
  return "unknown";
}

}  // namespace warderon
