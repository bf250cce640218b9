#include "service/foreground_runner.h"

#include <cstdlib>
#include <iostream>
#include <ostream>

#include "platform/console/console_signals.h"
#include "service/console_alert_printer.h"
#include "service/monitor_switches.h"
#include "service/policy_location.h"
#include "service/service_host.h"
#include "service/warderon_process.h"

namespace warderon {
namespace {

// How long a stopped run waits for the worker to finish the module it is
// in before the process ends without it.
constexpr std::chrono::seconds kWorkerGrace{2};

const char* StateText(TServiceState state) {
  switch (state) {
    case TServiceState::Running:
      return "running";
    case TServiceState::Paused:
      return "paused";
    case TServiceState::StopPending:
      return "stopping";
    case TServiceState::Stopped:
      return "stopped";
  }
  return "";
}

}  // namespace

int RunForeground(std::optional<int> cycles, const std::optional<std::string>& store_path,
                  std::ostream& out, std::ostream& err) {
  std::unique_ptr<TPolicyBackend> backend;
  try {
    backend = OpenPolicyBackend(store_path, TStoreUser::Daemon);
  } catch (const TPolicyError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
  try {
    if (ReadEnabledParts(*backend).monitors.empty()) {
      const bool quoted = store_path && store_path->find(' ') != std::string::npos;
      const std::string store = !store_path ? ""
                                : quoted    ? " -store \"" + *store_path + "\""
                                            : " -store " + *store_path;
      err << "warderon: no monitor is enabled, so the cycles watch nothing. Enable one, for "
             "example:\n  warderon -policy set general FilesEnabled 1 -type integer"
          << store << "\nand name the folders to watch as values of section IncludeDirs.\n";
    }
  } catch (const TPolicyError&) {
    // The run itself reports what is wrong with the store.
  }
  std::unique_ptr<TInstanceLock> lock;
  try {
    lock = TWarderonProcess::LockStateFolder(CataloguePath(store_path));
  } catch (const TInstanceLockError& error) {
    err << "warderon: " << error.what() << "\n";
    return 1;
  }
  TWarderonProcess process(std::move(backend), CataloguePath(store_path));
  TConsoleAlertPrinter printer(out);
  process.Alerts().SetObserver(&printer);
  TServiceHost host(process);
  {
    const auto signals = WatchConsoleSignals([&host](TConsoleSignal signal) {
      host.Post(signal == TConsoleSignal::Pause      ? TServiceControl::Pause
                : signal == TConsoleSignal::Continue ? TServiceControl::Continue
                                                     : TServiceControl::Stop);
    });
    host.Start(cycles);
    host.Serve([&err](TServiceState state) {
      if (state == TServiceState::Paused || state == TServiceState::Running) {
        err << "warderon: " << StateText(state) << std::endl;
      }
    });
  }
  // A sleeping worker ends at once. One held by a pause, or deep in a
  // module past the grace time, is left behind: like a service, the process
  // ends without it rather than hang.
  const auto deadline = std::chrono::steady_clock::now() + kWorkerGrace;
  while (!host.JoinWorker(std::chrono::milliseconds(50))) {
    if (process.Worker().HeldByPause() || std::chrono::steady_clock::now() > deadline) {
      out.flush();
      err << "warderon: stopped while the worker was paused or busy" << std::endl;
      std::_Exit(0);
    }
  }
  process.Alerts().SetObserver(nullptr);
  return 0;
}

}  // namespace warderon
