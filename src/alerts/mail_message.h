// One alert e-mail as the dispatcher composes it, and the text forms the
// SMTP client makes of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace warderon {

struct TMailMessage {
  std::string from;
  std::string sender;
  std::vector<std::string> to;  // as written: "ops@site" or "Ops <ops@site>"
  std::string subject;
  std::vector<std::string> body_lines;  // the body text, then one line per detail
  // Set for a mail sent late: the Date of the raise and an id that stays
  // the same on every attempt. Empty: the time of sending, a new id.
  std::string date;
  std::string message_id;
};

// Splits a recipient setting at commas and semicolons that stand outside
// quotes and angle brackets; blanks around each item and empty items go.
std::vector<std::string> ParseAddressList(std::string_view text);

// The bare address of a recipient: the part in angle brackets when there is
// one, else the whole item. Empty when it holds a blank or a control
// character (it could not go into an SMTP command safely).
std::string EnvelopeAddress(std::string_view recipient);

}  // namespace warderon
