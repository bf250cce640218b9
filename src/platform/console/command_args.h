// The program's arguments as UTF-8 text.
#pragma once

#include <string>
#include <vector>

namespace warderon {

// Without the program name. On Windows the arguments are read from the
// wide-character command line, so names outside the ANSI code page survive.
std::vector<std::string> CommandArguments(int argc, char** argv);

}  // namespace warderon
