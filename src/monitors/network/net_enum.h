// The share and connection monitor: the machine's shares and, per share,
// the remote users and hosts connected to it. A share seen for the first
// time, and each client that comes or goes, are reported, one alert per
// share and run. Shares are stored in "LocalShares", each share's clients
// and the administrator's exclusions in nested sections under
// "LocalShares-Data".
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/string_list.h"
#include "platform/net/share_list.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

using TSteadyTime = std::chrono::steady_clock::time_point;

// The host name found for an IPv4 address by a reverse lookup before the
// deadline, if any.
using TAddressResolver =
    std::function<std::optional<std::string>(const std::string& address, TSteadyTime deadline)>;

// A reverse lookup bounded to a few seconds (and the deadline), so that a
// silent name server cannot hold the cycle.
std::optional<std::string> LookUpClientAddress(const std::string& address, TSteadyTime deadline);

class TShareInfo final : public TListRecord {
 public:
  TStringList Clients{false};
  TStringList IgnoredClients{false};
};

class TNetEnum final : public TCycleModule {
 public:
  // Reverse look-ups of one run take this long at most, whatever the
  // number of clients; an address not resolved in that time is keyed by
  // itself, as one whose look-up failed.
  static constexpr std::chrono::seconds kLookupBudget{5};
  // How long a found name, and a failed look-up, are kept.
  static constexpr std::chrono::minutes kNameLifetime{60};
  static constexpr std::chrono::minutes kFailureLifetime{5};
  static constexpr std::size_t kMaxCachedNames = 4096;

  TNetEnum(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts, TShareList& shares,
           TAddressResolver resolver = LookUpClientAddress,
           std::function<TSteadyTime()> now = std::chrono::steady_clock::now);

  void Initialize() override;
  void Run() override;

  // A client's name as keys use it: an IPv4 address becomes the host name a
  // reverse lookup finds, up to its first ".".
  std::string ShortHostName(const std::string& client);
  // user + "@" + client, lower case; a machine account's user is left out.
  std::string ClientKey(const TShareConnection& connection);

 private:
  void LoadShareBaselines();
  void ScanShares();
  void CompareShareClients(const std::string& share, std::vector<std::string> current);
  void SaveShareBaselines();

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TShareList& shares_;
  TAddressResolver resolver_;
  std::function<TSteadyTime()> now_;
  struct TCachedName {
    std::optional<std::string> host;
    TSteadyTime expires;
  };
  std::unordered_map<std::string, TCachedName> names_;
  TSteadyTime lookup_deadline_{};  // of the current run

  TStringList KnownShares_{true};
  bool SharesChanged_ = false;
};

}  // namespace warderon
