#include "platform/win/net_buffer.h"
#include "platform/win/win_support.h"

#include <lm.h>

#include "platform/accounts/batch_guard.h"
#include "platform/accounts/local_groups.h"

namespace warderon {
namespace {

using win::TNetBuffer;

class TNetLocalGroups final : public TLocalGroups {
 public:
  void GetMembers(const std::string& group, std::vector<std::string>& members) override {
    const std::wstring name = win::Widen(group);
    DWORD_PTR resume = 0;
    TBatchGuard guard;
    for (;;) {
      TNetBuffer buffer;
      DWORD read = 0;
      DWORD total = 0;
      const NET_API_STATUS status = NetLocalGroupGetMembers(
          nullptr, name.c_str(), 3, buffer.Receive(), 4096, &read, &total, &resume);
      if (status != NERR_Success && status != ERROR_MORE_DATA) return;
      const auto* entries = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_3*>(buffer.Get());
      std::vector<std::string> batch;
      for (DWORD i = 0; i < read && entries != nullptr; ++i) {
        if (entries[i].lgrmi3_domainandname == nullptr) continue;
        std::string member = win::Narrow(entries[i].lgrmi3_domainandname);
        if (!member.empty()) batch.push_back(std::move(member));
      }
      if (!guard.Progress(read, batch.empty() ? std::string() : batch.front())) return;
      members.insert(members.end(), batch.begin(), batch.end());
      if (status != ERROR_MORE_DATA) return;
    }
  }
};

}  // namespace

std::unique_ptr<TLocalGroups> MakeSystemLocalGroups() {
  return std::make_unique<TNetLocalGroups>();
}

}  // namespace warderon
