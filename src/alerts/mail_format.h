// The text of an alert e-mail on the wire: headers that cannot be broken by
// what they carry, a UTF-8 plain-text body, dot-stuffing, the final ".".
#pragma once

#include <string>
#include <string_view>

#include "alerts/mail_message.h"

namespace warderon {

// Base64 (RFC 4648) without line breaks.
std::string Base64(std::string_view bytes);

// A header value with every CR, LF and other control character replaced
// by a blank, so that no text can start a header line of its own.
std::string CleanHeaderText(std::string_view text);

// The Subject value: as it is when it is short printable ASCII, else as
// RFC 2047 encoded words (UTF-8, base64) on folded lines.
std::string EncodeSubject(std::string_view subject);

// How the body travels. Every line (a body line is split at its own line
// breaks) arrives exactly as it was: 7bit when all lines are ASCII and at
// most 998 bytes; 8bit when some are not ASCII, all are short and the
// server announced 8BITMIME (then MAIL FROM carries BODY=8BITMIME);
// quoted-printable otherwise, whose soft line breaks carry lines of any
// length.
enum class TBodyEncoding { SevenBit, EightBit, QuotedPrintable };
TBodyEncoding ChooseBodyEncoding(const TMailMessage& message, bool server_takes_8bit);

// Everything sent after DATA's 354: headers, an empty line, the body lines
// in the encoding, dot-stuffed, joined with CR LF, and the line "." that
// ends the message.
std::string FormatMailData(const TMailMessage& message, const std::string& date,
                           const std::string& message_id,
                           TBodyEncoding encoding = TBodyEncoding::QuotedPrintable);

}  // namespace warderon
