#include "platform/console/command_args.h"

namespace warderon {

std::vector<std::string> CommandArguments(int argc, char** argv) {
  return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

}  // namespace warderon
