// Test helper: the signature monitor with the real verifier of this build
// over files the test prepared, each posing as the image of a process of
// NT AUTHORITY\SYSTEM (no process runs under a system account under Wine).
//   signature_probe TRUSTED-FRAGMENT FILE...
// prints "verify<TAB>FILE<TAB>trusted|untrusted<TAB>COMPANY" per file, then
// "report<TAB>LINE" per line of the monitor's alert ("-" as fragment: none).
#include <cstdio>
#include <string>

#include "fakes/fake_resources.h"
#include "fakes/fake_tamper.h"
#include "fakes/recording_alerts.h"
#include "monitors/tamper/auth_module.h"
#include "platform/store/memory_policy_backend.h"

using namespace warderon;
using namespace warderon::testing;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: signature_probe TRUSTED-FRAGMENT FILE...\n");
    return 2;
  }
  const auto verifier = MakeSystemSignatureVerifier();
  if (!verifier->UnavailableReason().empty()) {
    std::printf("unavailable\t%s\n", verifier->UnavailableReason().c_str());
    return 1;
  }
  TFakeProcessInfo processes;
  for (int i = 2; i < argc; ++i) {
    const TSignature signature = verifier->VerifyFileSignature(argv[i]);
    std::printf("verify\t%s\t%s\t%s\n", argv[i], signature.trusted ? "trusted" : "untrusted",
                signature.company.c_str());
    TFakeProcess process;
    process.entry = {static_cast<std::uint32_t>(1000 + i), "probe.exe"};
    process.path = argv[i];
    process.owner = TProcessOwner{"NT AUTHORITY", "SYSTEM"};
    processes.processes.push_back(process);
  }
  TMemoryPolicyBackend backend;
  TPolicyStore store(backend);
  TRecordingAlerts alerts;
  TCycleState cycle;
  cycle.NewInstall = true;
  TBaselineLists lists(store, alerts, cycle);
  store.WritePolicyInteger("general", "AuthenticodeEnabled", 1);
  if (std::string(argv[1]) != "-") {
    backend.WriteValue("Authenticode", argv[1], TPolicyValue::MakeInteger(1));
  }
  TFakeProcessServices services;
  TAuthModule module(store, lists, alerts, processes, services, *verifier);
  module.Initialize();
  module.Run();
  for (const auto& alert : alerts.alerts) {
    for (const std::string& line : alert.details) std::printf("report\t%s\n", line.c_str());
  }
  return 0;
}
