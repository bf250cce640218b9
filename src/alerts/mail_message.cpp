#include "alerts/mail_message.h"

namespace warderon {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::vector<std::string> ParseAddressList(std::string_view text) {
  std::vector<std::string> addresses;
  bool quoted = false;
  bool bracketed = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ',';
    if (c == '"' && !bracketed) {
      quoted = !quoted;
    } else if (c == '<' && !quoted) {
      bracketed = true;
    } else if (c == '>' && !quoted) {
      bracketed = false;
    } else if ((c == ',' || c == ';') && ((!quoted && !bracketed) || i == text.size())) {
      const std::string_view item = Trim(text.substr(start, i - start));
      if (!item.empty()) addresses.emplace_back(item);
      start = i + 1;
    }
  }
  return addresses;
}

std::string EnvelopeAddress(std::string_view recipient) {
  std::string_view address = Trim(recipient);
  const auto open = address.rfind('<');
  const auto close = address.rfind('>');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
    address = Trim(address.substr(open + 1, close - open - 1));
  }
  for (const char c : address) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '<' || c == '>' || c == 0x7F) return {};
  }
  return std::string(address);
}

}  // namespace warderon
