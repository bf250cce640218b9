// The listening socket monitor: which programs listen on which IPv4 TCP
// ports, and optionally which remote hosts hold connections to the sharing
// ports 445 and 139. New and vanished sockets go out in one alert per run;
// the baseline lives in "Sockets", the administrator's exclusions in
// "SocketsIgnore".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/alert_sender.h"
#include "core/cycle_module.h"
#include "core/cycle_state.h"
#include "core/string_list.h"
#include "platform/net/socket.h"
#include "platform/net/tcp_table.h"
#include "platform/process/process_info.h"
#include "policy/baseline_lists.h"
#include "policy/policy_store.h"

namespace warderon {

// What TCP connections to 127.0.0.1 on the ports find, all tried together
// before the deadline (see ProbeLoopbackPorts).
using TLoopbackProber = std::function<std::vector<TProbeResult>(
    const std::vector<std::uint16_t>& ports, std::chrono::steady_clock::time_point deadline)>;

// Puts blanks before a key shorter than 5 characters until it has 5.
std::string PadKey(const std::string& key);

class TTTCPModule final : public TCycleModule {
 public:
  TTTCPModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
              TCycleState& cycle, TTcpTable& table, TProcessInfo& processes,
              TLoopbackProber prober = ProbeLoopbackPorts);

  void Initialize() override;
  void Run() override;

  // The program behind a process: its executable path, or "unknown".
  std::string ResolveOwnerName(std::uint32_t pid);

 private:
  void ScanSockets();
  void ScanRow(const TTcpRow& row, bool list_clients);
  // Probes the run's new listeners together, within one bound for the run.
  void AcceptNewListeners();
  // A known key of the port, when the owner of a listener on it could not
  // be found in this scan.
  std::optional<std::size_t> KnownKeyOfPort(std::uint16_t port);
  bool Ignored(const std::string& key) const;
  void ReportSockets();
  std::string SnapshotPath(std::uint32_t pid);

  TPolicyStore& store_;
  TBaselineLists& baselines_;
  TAlertSender& alerts_;
  TCycleState& cycle_;
  TTcpTable& table_;
  TProcessInfo& processes_;
  TLoopbackProber prober_;

  bool TableAvailable_ = false;
  TStringList SocketBaseline_{false};
  TStringList SocketIgnoreList_{true};
  TStringList MissingSockets_{true};
  TStringList NewSockets_{false};
  struct TNewListener {
    std::string key;
    std::uint16_t port;
    bool loopback_or_any;  // reachable through loopback by its own address
  };
  std::vector<TNewListener> NewListeners_;
};

}  // namespace warderon
