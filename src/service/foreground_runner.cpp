#include "service/foreground_runner.h"

#include <ostream>

#include "platform/console_stop.h"
#include "service/console_alert_printer.h"
#include "service/policy_location.h"
#include "service/warderon_process.h"

namespace warderon {

int RunForeground(std::optional<int> cycles, const std::optional<std::string>& store_path,
                  std::ostream& out, std::ostream& err) {
  std::unique_ptr<TPolicyBackend> backend;
  try {
    backend = OpenPolicyBackend(store_path);
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
  TWarderonProcess process(std::move(backend));
  TConsoleAlertPrinter printer(out);
  process.Alerts().SetObserver(&printer);
  {
    const auto console_stop = WatchConsoleStop([&process] { process.Stop(); });
    process.Worker().Execute(cycles);
  }
  process.Stop();  // reaching the cycle limit is a stop too
  process.Alerts().SetObserver(nullptr);
  return 0;
}

}  // namespace warderon
