// The current local time as a mail Date header wants it (RFC 5322):
// "Tue, 08 Dec 2026 09:30:00 +0100".
#pragma once

#include <string>

namespace warderon {

std::string MailDateNow();

}  // namespace warderon
