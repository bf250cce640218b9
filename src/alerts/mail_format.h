// The text of an alert e-mail on the wire: headers that cannot be broken by
// what they carry, a UTF-8 plain-text body, dot-stuffing, the final ".".
#pragma once

#include <string>
#include <string_view>

#include "alerts/mail_message.h"

namespace warderon {

// A header value with every CR, LF and other control character replaced
// by a blank, so that no text can start a header line of its own.
std::string CleanHeaderText(std::string_view text);

// The Subject value: as it is when it is short printable ASCII, else as
// RFC 2047 encoded words (UTF-8, base64) on folded lines.
std::string EncodeSubject(std::string_view subject);

// Everything sent after DATA's 354: headers, an empty line, the body lines
// (each split at its own line breaks, long ones wrapped, dot-stuffed), joined
// with CR LF, and the line "." that ends the message.
std::string FormatMailData(const TMailMessage& message, const std::string& date,
                           const std::string& message_id);

}  // namespace warderon
