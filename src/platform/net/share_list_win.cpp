// Shares and their connections from the network management API. Each list
// is asked for whole (no size limit): a list cut short would either hide
// every share or make stored clients look gone.
#include "platform/win/net_buffer.h"
#include "platform/win/win_support.h"

#include <lm.h>

#include "platform/net/share_list.h"

namespace warderon {
namespace {

using win::Narrow;
using win::TNetBuffer;

std::string Text(const wchar_t* text) { return text != nullptr ? Narrow(text) : std::string(); }

class TWinShareList final : public TShareList {
 public:
  std::optional<std::vector<std::string>> Shares() override {
    TNetBuffer buffer;
    DWORD read = 0;
    DWORD total = 0;
    DWORD resume = 0;
    if (NetShareEnum(nullptr, 1, buffer.Receive(), MAX_PREFERRED_LENGTH, &read, &total, &resume) !=
        NERR_Success) {
      return std::nullopt;
    }
    std::vector<std::string> shares;
    const auto* entries = reinterpret_cast<const SHARE_INFO_1*>(buffer.Get());
    for (DWORD i = 0; i < read; ++i) shares.push_back(Text(entries[i].shi1_netname));
    return shares;
  }

  std::optional<std::vector<TShareConnection>> Connections(const std::string& share) override {
    TNetBuffer buffer;
    DWORD read = 0;
    DWORD total = 0;
    DWORD resume = 0;
    std::wstring qualifier = win::Widen(share);
    if (NetConnectionEnum(nullptr, qualifier.data(), 1, buffer.Receive(), MAX_PREFERRED_LENGTH,
                          &read, &total, &resume) != NERR_Success) {
      return std::nullopt;
    }
    std::vector<TShareConnection> connections;
    const auto* entries = reinterpret_cast<const CONNECTION_INFO_1*>(buffer.Get());
    for (DWORD i = 0; i < read; ++i) {
      connections.push_back({Text(entries[i].coni1_username), Text(entries[i].coni1_netname)});
    }
    return connections;
  }
};

}  // namespace

std::unique_ptr<TShareList> MakeSystemShareList() { return std::make_unique<TWinShareList>(); }

}  // namespace warderon
