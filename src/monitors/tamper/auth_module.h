// The signature monitor: every process of a built-in service account is
// examined once in its lifetime; an executable without a trusted signature
// (unless exempted in "AuthenticodeExceptions"), or signed by a company not
// named in "Authenticode", is reported in one "Authenticode warnings" alert
// per run. Lowering "AuthenticodeEnabled" raises an alert of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/string_list.h"
#include "platform/process/process_info.h"
#include "platform/process/process_services.h"
#include "platform/trust/signature_verifier.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

class TAuthService final : public TListRecord {
 public:
  std::int32_t LastSeenCycle = 0;
};

// Every blank removed.
std::string StripBlanks(const std::string& text);

class TAuthModule final : public TCycleModule {
 public:
  TAuthModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
              TProcessInfo& processes, TProcessServices& services, TSignatureVerifier& verifier);

  void Initialize() override;
  void Run() override;

  std::string GetProcessImagePath(std::uint32_t pid);
  // Domain and name of the process's user, without blanks; nothing when
  // they cannot be read.
  std::optional<TProcessOwner> GetProcessOwner(std::uint32_t pid);

 private:
  void CheckProcessSignatures();
  void ExamineProcess(std::uint32_t pid, std::vector<std::string>& report);
  const std::vector<std::string>& Exceptions();
  const std::vector<std::string>& TrustedCompanies();

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TProcessInfo& processes_;
  TProcessServices& services_;
  TSignatureVerifier& verifier_;

  TStringList KnownProcesses_{true};
  std::int32_t CycleNumber_ = 0;
  std::int32_t LastEnabledLevel_ = 0;
  bool UnavailableReported_ = false;
  // The policy lists of the current run, read when first needed.
  std::optional<std::vector<std::string>> exceptions_;
  std::optional<std::vector<std::string>> trusted_;
};

}  // namespace warderon
