// One alert e-mail as the dispatcher composes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace warderon {

struct TMailMessage {
  std::string from;
  std::string sender;
  std::vector<std::string> to;
  std::string subject;
  std::vector<std::string> body_lines;  // the body text, then one line per detail
};

// Splits a recipient setting at commas and semicolons; blanks around each
// address are dropped, and so are empty items.
std::vector<std::string> ParseAddressList(std::string_view text);

}  // namespace warderon
