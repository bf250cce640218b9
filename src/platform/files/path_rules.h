// How the platform's file paths compare: Windows ignores letter case and
// separates with "\"; Linux keeps case and separates with "/".
#pragma once

#include <string>
#include <string_view>

namespace warderon {

struct TPathRules {
  char separator = '\\';
  bool case_sensitive = false;
  // The directory part of a path ends at its last separator (or, on
  // Windows, a drive colon).
  const char* directory_ends = "\\:";
};

// The rules of the platform this program was built for.
TPathRules NativePathRules();

}  // namespace warderon
