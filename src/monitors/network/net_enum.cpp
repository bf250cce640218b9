#include "monitors/network/net_enum.h"

#include <algorithm>
#include <cctype>

#include "core/text_case.h"
#include "platform/net/socket.h"

namespace warderon {
namespace {

constexpr char kSharesSection[] = "LocalShares";
constexpr std::chrono::seconds kLookupBound{3};

std::string ClientsSection(const std::string& share) {
  return "LocalShares-Data\\" + share + "-Clients";
}
std::string IgnoreSection(const std::string& share) {
  return "LocalShares-Data\\" + share + "-Ignore";
}

bool IsDottedIpv4(const std::string& text) {
  int dots = 0;
  int digits = 0;
  for (const char c : text) {
    if (c == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(c)) != 0 && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

}  // namespace

std::optional<std::string> LookUpClientAddress(const std::string& address, TSteadyTime deadline) {
  return HostNameOfAddress(address,
                           std::min(deadline, std::chrono::steady_clock::now() + kLookupBound));
}

TNetEnum::TNetEnum(TPolicyStore& store, TBaselineLists& baselines, TAlertSender& alerts,
                   TShareList& shares, TAddressResolver resolver, std::function<TSteadyTime()> now)
    : store_(store),
      baselines_(baselines),
      alerts_(alerts),
      shares_(shares),
      resolver_(std::move(resolver)),
      now_(std::move(now)) {}

void TNetEnum::Initialize() {
  KnownShares_.Clear();
  LoadShareBaselines();
}

void TNetEnum::LoadShareBaselines() {
  TStringList names{true};
  baselines_.LoadBaselineList(kSharesSection, names);
  KnownShares_.Clear();
  for (std::size_t i = 0; i < names.Count(); ++i) {
    auto info = std::make_unique<TShareInfo>();
    baselines_.LoadBaselineList(ClientsSection(names.Text(i)), info->Clients);
    baselines_.LoadBaselineList(IgnoreSection(names.Text(i)), info->IgnoredClients);
    KnownShares_.Add(names.Text(i), std::move(info));
  }
}

void TNetEnum::Run() {
  if (!store_.ReadPolicyBool("general", "SharesEnabled", false)) return;
  LoadShareBaselines();  // an administrator's edits count at once
  SharesChanged_ = false;
  const TSteadyTime start = now_();
  lookup_deadline_ = start + kLookupBudget;
  std::erase_if(names_, [&](const auto& entry) { return entry.second.expires <= start; });
  ScanShares();
  lookup_deadline_ = {};
  if (SharesChanged_) SaveShareBaselines();
}

std::string TNetEnum::ShortHostName(const std::string& client) {
  if (!IsDottedIpv4(client)) return client;
  auto cached = names_.find(client);
  if (cached == names_.end()) {
    const TSteadyTime now = now_();
    // Outside a run (a key asked for by hand) a look-up has a budget alone.
    const TSteadyTime deadline =
        lookup_deadline_ == TSteadyTime{} ? now + kLookupBudget : lookup_deadline_;
    if (now >= deadline) return client;  // the run's look-ups are spent
    if (names_.size() >= kMaxCachedNames) names_.clear();
    std::optional<std::string> found = resolver_(client, deadline);
    const auto lifetime =
        found ? TSteadyTime::duration(kNameLifetime) : TSteadyTime::duration(kFailureLifetime);
    cached = names_.emplace(client, TCachedName{std::move(found), now + lifetime}).first;
  }
  const std::optional<std::string>& host = cached->second.host;
  if (!host || host->empty()) return client;
  return host->substr(0, host->find('.'));
}

std::string TNetEnum::ClientKey(const TShareConnection& connection) {
  const std::string client = ShortHostName(LowerCase(connection.client));
  std::string user = LowerCase(connection.user);
  if (CompareTextIgnoreCase(user, client + "$") == 0) user.clear();  // a machine account
  return user + "@" + client;
}

void TNetEnum::ScanShares() {
  const std::optional<std::vector<std::string>> shares = shares_.Shares();
  if (!shares) return;  // no share is examined without the whole list
  for (const std::string& share : *shares) {
    const auto connections = shares_.Connections(share);
    // Connections that cannot be listed are no news: without this, every
    // stored client would be reported lost and forgotten.
    if (!connections) continue;
    std::vector<std::string> current;
    TStringList seen{true};
    for (const TShareConnection& connection : *connections) {
      const std::string key = ClientKey(connection);
      // The client is after the last "@": a user name may hold one.
      const std::string client = key.substr(key.rfind('@') + 1);
      if (CompareTextIgnoreCase(client, "localhost") == 0 || seen.Find(key)) continue;
      seen.Add(key);
      current.push_back(key);
    }
    CompareShareClients(share, std::move(current));
  }
}

void TNetEnum::CompareShareClients(const std::string& share, std::vector<std::string> clients) {
  TStringList current{true};
  current.Assign(std::move(clients));
  std::vector<std::string> lines;
  std::string subject;
  const std::optional<std::size_t> known = KnownShares_.Find(share);
  if (!known) {
    auto info = std::make_unique<TShareInfo>();
    info->Clients.Assign(current.Texts());
    lines = current.Texts();
    KnownShares_.Add(share, std::move(info));
    subject = "Share: " + share + " added";
    SharesChanged_ = true;
  } else {
    TShareInfo& info = *KnownShares_.RecordAs<TShareInfo>(*known);
    for (std::size_t i = current.Count(); i-- > 0;) {
      if (info.IgnoredClients.Find(current.Text(i))) current.Delete(i);
    }
    for (std::size_t i = info.Clients.Count(); i-- > 0;) {
      if (const auto found = current.Find(info.Clients.Text(i))) {
        current.Delete(*found);
        continue;
      }
      lines.push_back("  lost connection to " + info.Clients.Text(i));
      info.Clients.Delete(i);
      subject = "Share: " + share + " changed";
      SharesChanged_ = true;
    }
    for (std::size_t i = current.Count(); i-- > 0;) {
      if (info.Clients.Find(current.Text(i))) continue;
      info.Clients.Add(current.Text(i));
      lines.push_back("  new connection to " + current.Text(i));
      subject = "Share: " + share + " changed";
      SharesChanged_ = true;
    }
  }
  if (!lines.empty()) alerts_.SendAlertWithDetails(kAlertFinding, subject, subject, lines);
}

void TNetEnum::SaveShareBaselines() {
  baselines_.SaveBaselineKeys(kSharesSection, KnownShares_);
  for (std::size_t i = 0; i < KnownShares_.Count(); ++i) {
    baselines_.SaveBaselineKeys(ClientsSection(KnownShares_.Text(i)),
                                KnownShares_.RecordAs<TShareInfo>(i)->Clients);
  }
}

}  // namespace warderon
