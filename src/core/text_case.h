// Letter-case rules shared by every case-insensitive list and store.
#pragma once

#include <string>
#include <string_view>

namespace warderon {

// The case-folded form of a UTF-8 text: two texts that differ only in letter
// case fold to the same text. Invalid UTF-8 bytes are kept as they are on
// Linux; on Windows they become U+FFFD, as at every UTF-16 boundary.
std::string FoldCase(std::string_view text);

// The lower-case form of a UTF-8 text, by the same rules (Unicode letters
// included: "ÉRIC" gives "éric").
std::string LowerCase(std::string_view text);

// Orders two texts ignoring letter case: negative, 0 or positive.
int CompareTextIgnoreCase(std::string_view left, std::string_view right);

// Upper-cases the ASCII letters a to z only.
std::string UpperAscii(std::string_view text);

}  // namespace warderon
