#include "platform/win/win_support.h"

#include <shellapi.h>

#include "platform/console/command_args.h"

namespace warderon {

std::vector<std::string> CommandArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv + (argc > 0 ? 1 : 0), argv + argc};
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(win::Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

}  // namespace warderon
