#include "monitors/network/tcp_module.h"

#include <algorithm>
#include <chrono>

#include "core/text_case.h"
#include "platform/net/socket.h"

namespace warderon {
namespace {

constexpr char kGeneral[] = "general";
constexpr char kBaselineSection[] = "Sockets";
constexpr char kIgnoreSection[] = "SocketsIgnore";
constexpr char kUnknownOwner[] = "unknown";
constexpr std::chrono::seconds kProbeBound{1};

bool IsSharingPort(std::uint16_t port) { return port == 445 || port == 139; }

bool HasExeExtension(const std::string& path) {
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || path.find_first_of("\\/", dot) != std::string::npos) {
    return false;
  }
  return CompareTextIgnoreCase(std::string_view(path).substr(dot), ".exe") == 0;
}

// Sorts texts with letter case ignored, keeping equal ones in order.
void SortIgnoringCase(std::vector<std::string>& texts) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(texts.size());
  for (auto& text : texts) keyed.emplace_back(FoldCase(text), std::move(text));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < texts.size(); ++i) texts[i] = std::move(keyed[i].second);
}

}  // namespace

std::string PadKey(const std::string& key) {
  return key.size() < 5 ? std::string(5 - key.size(), ' ') + key : key;
}

TTTCPModule::TTTCPModule(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                         TCycleState& cycle, TTcpTable& table, TProcessInfo& processes,
                         TLoopbackProber prober)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      cycle_(cycle),
      table_(table),
      processes_(processes),
      prober_(std::move(prober)) {}

void TTTCPModule::Initialize() {
  cycle_.ActivityText = "iphlpapi";
  TableAvailable_ = table_.LoadFunctions();
  cycle_.ActivityText = "alloc TCP";
  table_.AllocateBuffer();
  if (!TableAvailable_) {
    alerts_.SendAlert(kAlertMonitorFailure, "TCP monitor could not start",
                      "Old version of windows, does not support TCP monitor");
  } else {
    cycle_.ActivityText = "load sockets";
    baselines_.LoadBaselineList(kBaselineSection, SocketBaseline_);
    baselines_.LoadBaselineList(kIgnoreSection, SocketIgnoreList_);
  }
  cycle_.ActivityText.clear();
}

void TTTCPModule::Run() {
  if (!TableAvailable_) return;
  if (!store_.ReadPolicyBool(kGeneral, "SocketsEnabled", false)) return;
  std::vector<std::string> known = SocketBaseline_.Texts();
  SortIgnoringCase(known);
  SocketBaseline_.Assign(known);
  MissingSockets_.Assign(std::move(known));
  NewSockets_.Clear();
  ScanSockets();
  ReportSockets();
  cycle_.ActivityText.clear();
}

void TTTCPModule::ScanSockets() {
  // The setting decides which rows the table must hold: clients of the
  // sharing ports only appear among all rows.
  const bool list_clients = store_.ReadPolicyBool(kGeneral, "SharesListClients", false);
  const std::vector<TTcpRow> rows = table_.Read(list_clients ? TTcpRows::All : TTcpRows::Listeners);
  NewListeners_.clear();
  for (const TTcpRow& row : rows) ScanRow(row, list_clients);
  AcceptNewListeners();
  for (std::size_t i = 0; i < MissingSockets_.Count(); ++i) {
    if (const auto index = SocketBaseline_.Find(MissingSockets_.Text(i))) {
      SocketBaseline_.Delete(*index);
    }
  }
}

void TTTCPModule::ScanRow(const TTcpRow& row, bool list_clients) {
  const std::string port = std::to_string(row.local_port);
  std::string key;
  if (row.listening) {
    const std::string owner = row.owner_pid ? ResolveOwnerName(*row.owner_pid) : kUnknownOwner;
    if (SocketIgnoreList_.Find(owner + ":*")) return;
    key = owner + ":" + port;
    // An owner that could not be found in this scan (a process handing the
    // socket over) is no news about a listener known on the port.
    if (owner == kUnknownOwner && !SocketBaseline_.Find(key)) {
      if (const auto known = KnownKeyOfPort(row.local_port)) {
        MissingSockets_.Delete(*known);
        return;
      }
    }
  } else {
    if (!IsSharingPort(row.local_port) || !list_clients) return;
    if (row.remote_address == "127.0.0.1") return;
    key = "NET-" + row.remote_address + ":" + port;
  }
  if (Ignored(key)) return;
  if (!SocketBaseline_.Find(key)) {
    if (row.listening) {
      const bool own = row.local_address == "127.0.0.1" || row.local_address == "0.0.0.0";
      NewListeners_.push_back({key, row.local_port, own});
      return;
    }
    NewSockets_.Add(key);
    SocketBaseline_.Add(key);
    return;
  }
  if (const auto missing = MissingSockets_.Find(key)) MissingSockets_.Delete(*missing);
}

void TTTCPModule::AcceptNewListeners() {
  if (NewListeners_.empty()) return;
  std::vector<std::uint16_t> ports;
  ports.reserve(NewListeners_.size());
  for (const TNewListener& listener : NewListeners_) ports.push_back(listener.port);
  const std::vector<TProbeResult> results =
      prober_(ports, std::chrono::steady_clock::now() + kProbeBound);
  for (std::size_t i = 0; i < NewListeners_.size(); ++i) {
    const TProbeResult result = i < results.size() ? results[i] : TProbeResult::NoAnswer;
    // A listener that does not take loopback connections is not reported;
    // one whose queue is full is, when its own address is loopback or any.
    const bool accepted = result == TProbeResult::Reached ||
                          (result == TProbeResult::NoAnswer && NewListeners_[i].loopback_or_any);
    if (!accepted || SocketBaseline_.Find(NewListeners_[i].key)) continue;  // next run
    NewSockets_.Add(NewListeners_[i].key);
    SocketBaseline_.Add(NewListeners_[i].key);
  }
}

std::optional<std::size_t> TTTCPModule::KnownKeyOfPort(std::uint16_t port) {
  const std::string suffix = ":" + std::to_string(port);
  for (std::size_t i = 0; i < MissingSockets_.Count(); ++i) {
    const std::string& key = MissingSockets_.Text(i);
    if (key.size() > suffix.size() &&
        key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        key.rfind("NET-", 0) != 0 && key.rfind(kUnknownOwner, 0) != 0) {
      return i;
    }
  }
  return std::nullopt;
}

bool TTTCPModule::Ignored(const std::string& key) const {
  if (SocketIgnoreList_.Find(key)) return true;
  const auto colon = key.rfind(':');
  if (colon == std::string::npos) return SocketIgnoreList_.Find("*:*").has_value();
  return SocketIgnoreList_.Find(key.substr(0, colon) + ":*") ||
         SocketIgnoreList_.Find("*:" + key.substr(colon + 1));
}

void TTTCPModule::ReportSockets() {
  if (!MissingSockets_.Empty() || !NewSockets_.Empty()) {
    std::vector<std::string> lines;
    for (const std::string& key : MissingSockets_.Texts()) {
      lines.push_back("  Missing socket @ " + PadKey(key));
    }
    for (const std::string& key : NewSockets_.Texts()) {
      lines.push_back("  New socket @ " + PadKey(key));
    }
    SortIgnoringCase(lines);
    alerts_.SendAlertWithDetails(kAlertFinding, "listenning TCP socket changes",
                                 "tcp socket changes", lines);
    baselines_.SaveBaselineKeys(kBaselineSection, SocketBaseline_);
  }
  if (cycle_.GeneralUpdateRequested) baselines_.SaveBaselineKeys(kBaselineSection, SocketBaseline_);
}

std::string TTTCPModule::SnapshotPath(std::uint32_t pid) {
  // A program upgraded under its running process keeps its listeners' key.
  const auto path = processes_.ExecutablePath(pid);
  return path ? WithoutDeletedImageMark(*path) : kUnknownOwner;
}

std::string TTTCPModule::ResolveOwnerName(std::uint32_t pid) {
  const std::string first = SnapshotPath(pid);
  if (first != kUnknownOwner) return first;
  std::string name;
  if (const auto modules = processes_.ModuleFileNames(pid)) {
    for (const std::string& module : *modules) {
      if (HasExeExtension(module)) {
        name = module;
        break;
      }
    }
  }
  if (name.empty()) name = SnapshotPath(pid);
  // A path behind a device marker ("\??\C:\...") starts at its drive letter.
  // Paths of Linux never have a drive.
  const auto colon = name.find(':');
  if (colon != std::string::npos && colon + 1 > 2 && name.front() != '/') {
    name.erase(0, colon + 1 - 2);
  }
  return name;
}

}  // namespace warderon
