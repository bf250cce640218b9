// The composition root: reads the command line and hands over to the runner
// it names.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "core/text.h"
#include "platform/console/command_args.h"
#include "platform/console/console_signals.h"
#include "platform/time/clock.h"
#include "service/check_command.h"
#include "service/command_line.h"
#include "service/foreground_runner.h"
#include "service/policy_command.h"
#include "service/policy_location.h"
#include "service/service_registration.h"
#include "service/status_command.h"
#include "service/warderon_thread.h"

int main(int argc, char** argv) {
  using namespace warderon;
  // First of all: a stop or pause signal that comes before the watchdog
  // listens must wait for it, not end the process.
  HoldConsoleSignals();
  // Dates in reports follow the user's locale; numbers stay in the C form
  // that the catalogue and the store rely on.
  std::setlocale(LC_TIME, "");
  const std::vector<std::string> args = CommandArguments(argc, argv);
  const TCommandLine line = ParseCommandLine(args);
  if (!line.error.empty()) {
    std::cerr << "warderon: " << line.error << "\n" << UsageText();
    return 2;
  }
  if (line.command != TCommand::Run) ReleaseConsoleSignals();
  switch (line.command) {
    case TCommand::Run:
      return RunForeground(line.cycles, line.store_path, std::cout, std::cerr);
    case TCommand::Policy: {
      try {
        const auto backend = OpenPolicyBackend(
            line.store_path,
            PolicyCommandWrites(line.policy_words) ? TStoreUser::Tool : TStoreUser::Reader);
        return RunPolicyCommand(*backend, line.policy_words, line.value_type, std::cout, std::cerr);
      } catch (const TPolicyError& error) {
        std::cerr << "warderon: " << error.what() << "\n";
        return 1;
      }
    }
    case TCommand::Help:
      std::cout << UsageText();
      return 0;
    case TCommand::Version:
      std::cout << "warderon version " << VersionText(kDataVersion) << "\n";
      return 0;
    case TCommand::Status: {
      try {
        const auto backend = OpenPolicyBackend(line.store_path, TStoreUser::Reader);
        const auto clock = MakeSystemClock();
        return RunStatusCommand(*backend, *clock, std::cout, std::cerr, line.json);
      } catch (const TPolicyError& error) {
        std::cerr << "warderon: " << error.what() << "\n";
        return 1;
      }
    }
    case TCommand::Check: {
      try {
        const auto backend = OpenPolicyBackend(line.store_path, TStoreUser::Reader);
        const auto clock = MakeSystemClock();
        return RunCheckCommand(*backend, *clock, line.max_age_minutes, std::cout);
      } catch (const std::exception& error) {
        std::cout << "WARDERON UNKNOWN - " << VisibleLine(error.what()) << "\n";
        return kCheckUnknown;
      }
    }
    case TCommand::Install:
      return InstallService(line.silent, std::cout);
    case TCommand::Uninstall:
      return UninstallService(line.silent, std::cout);
    case TCommand::Usage:
      if (args.empty() && ServiceHostAvailable()) return RunAsService(std::cout);
      break;
  }
  std::cout << UsageText();
  return args.empty() ? 0 : 2;
}
