// The values the monitoring cycle shares with the modules and the policy
// layer. Written on the worker thread only.
#pragma once

#include <string>

namespace warderon {

struct TCycleState {
  // True from the moment start-up finds an old or absent data version until
  // every module is initialised; keeps baseline checksum alerts quiet.
  bool NewInstall = false;
  // The one-shot "GeneralUpdate" request, valid for one whole cycle.
  bool GeneralUpdateRequested = false;
  // The step a module is in; appended to the cycle's run-time error alert.
  std::string ActivityText;
  // The label of the row being started or run ("tcp monitorring"); empty
  // between rows. Alerts carry it to collectors that want to know.
  std::string StepLabel;
};

}  // namespace warderon
