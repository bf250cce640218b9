// The local accounts monitor ("LocalUsersEnabled"): every local account and
// what decides what it may do (Windows: enabled, password never expires,
// administrator; Linux: uid, gid, shell, locked), against the sealed section
// "LocalUsers". One "user account changes" alert a cycle with the lines
// "new account NAME", "removed account NAME" and "changed account NAME:
// WHAT old -> new". The first reading is the baseline, taken in silently.
#pragma once

#include <map>
#include <string>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "platform/accounts/local_users.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

class TLocalUsersModule final : public TCycleModule {
 public:
  // At most this many accounts are read a cycle.
  static constexpr std::size_t kMaxAccounts = 10000;

  TLocalUsersModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                    TLocalUsers& users);

  void Initialize() override;
  void Run() override;

 private:
  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TLocalUsers& users_;
  // "LocalUsers": "NAME" (the account) and "NAME/FIELD" to their values.
  std::map<std::string, std::string> stored_;
  bool failure_said_ = false;
};

}  // namespace warderon
