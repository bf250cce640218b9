// The program's command line. Switches start with "-" or "/" and ignore
// letter case.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace warderon {

enum class TCommand { Usage, Help, Version, Status, Check, Run, Policy, Install, Uninstall };

struct TCommandLine {
  TCommand command = TCommand::Usage;
  std::optional<int> cycles;              // -cycles N
  std::optional<std::string> store_path;  // -store PATH
  std::optional<std::string> value_type;  // -type T (policy set)
  std::vector<std::string> policy_words;  // the words after -policy
  bool silent = false;                    // /SILENT: no message box
  bool json = false;                      // -json (with -status)
  std::optional<int> max_age_minutes;     // -max-age N (with -check)
  std::string error;                      // set when the line cannot be used
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The usage text, one line per form.
std::string UsageText();

}  // namespace warderon
