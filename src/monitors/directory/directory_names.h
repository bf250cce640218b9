// Distinguished names and search filters as the directory monitor reads and
// writes them.
#pragma once

#include <string>

namespace warderon {

// The value of a distinguished name's first component: the text after its
// first "=" up to the first comma that is not escaped, with escapes
// ("\,", "\\", "\2C", ...) undone. "CN=Smith\, John,OU=Staff" gives
// "Smith, John".
std::string FirstRdnValue(const std::string& dn);

// A text made safe as a value in a search filter: "*", "(", ")", "\" and NUL
// become "\2a", "\28", "\29", "\5c" and "\00".
std::string EscapeFilterValue(const std::string& value);

}  // namespace warderon
