#include "platform/win/net_buffer.h"
#include "platform/win/win_support.h"

#include <lm.h>

#include <optional>
#include <set>

#include "platform/accounts/batch_guard.h"
#include "platform/accounts/local_users.h"

namespace warderon {
namespace {

using win::TNetBuffer;

// The local Administrators group by its well-known SID, whatever the
// system's language calls it; its members' names without their domain.
std::set<std::wstring> Administrators() {
  std::set<std::wstring> names;
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                               0, 0, 0, 0, 0, 0, &sid) == FALSE) {
    return names;
  }
  wchar_t group[256] = {};
  wchar_t domain[256] = {};
  DWORD group_length = 256;
  DWORD domain_length = 256;
  SID_NAME_USE use{};
  const bool named =
      LookupAccountSidW(nullptr, sid, group, &group_length, domain, &domain_length, &use) != FALSE;
  FreeSid(sid);
  if (!named) return names;
  DWORD_PTR resume = 0;
  TBatchGuard guard;
  for (;;) {
    TNetBuffer buffer;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status =
        NetLocalGroupGetMembers(nullptr, group, 1, buffer.Receive(), 4096, &read, &total, &resume);
    if (status != NERR_Success && status != ERROR_MORE_DATA) return names;
    const auto* entries = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_1*>(buffer.Get());
    std::string first;
    for (DWORD i = 0; i < read && entries != nullptr; ++i) {
      if (entries[i].lgrmi1_name == nullptr) continue;
      if (first.empty()) first = win::Narrow(entries[i].lgrmi1_name);
      names.insert(entries[i].lgrmi1_name);
    }
    if (!guard.Progress(read, first) || status != ERROR_MORE_DATA) return names;
  }
}

// The flags of one account (level 1); nothing when they cannot be read.
std::optional<DWORD> AccountFlags(const wchar_t* name) {
  TNetBuffer buffer;
  if (NetUserGetInfo(nullptr, name, 1, buffer.Receive()) != NERR_Success ||
      buffer.Get() == nullptr) {
    return std::nullopt;
  }
  return reinterpret_cast<const USER_INFO_1*>(buffer.Get())->usri1_flags;
}

std::string YesNo(const std::optional<DWORD>& flags, DWORD bit, bool when_set) {
  if (!flags) return "unknown";
  return ((*flags & bit) != 0) == when_set ? "yes" : "no";
}

class TNetUsers final : public TLocalUsers {
 public:
  // The names first (level 0, which every system answers), then each
  // account's flags.
  std::vector<TLocalUser> List(std::size_t limit, bool& truncated) override {
    truncated = false;
    const std::set<std::wstring> administrators = Administrators();
    std::vector<std::wstring> names;
    DWORD resume = 0;
    TBatchGuard guard;
    for (bool more = true; more;) {
      TNetBuffer buffer;
      DWORD read = 0;
      DWORD total = 0;
      const NET_API_STATUS status = NetUserEnum(nullptr, 0, FILTER_NORMAL_ACCOUNT, buffer.Receive(),
                                                16384, &read, &total, &resume);
      if (status != NERR_Success && status != ERROR_MORE_DATA) {
        throw TLocalUsersError(win::ErrorText("list the local accounts", status));
      }
      const auto* entries = reinterpret_cast<const USER_INFO_0*>(buffer.Get());
      if (read == 0 || entries == nullptr) break;
      if (!guard.Progress(read, entries[0].usri0_name != nullptr
                                    ? win::Narrow(entries[0].usri0_name)
                                    : std::string())) {
        throw TLocalUsersError("list the local accounts: the list repeats the same batch");
      }
      for (DWORD i = 0; i < read; ++i) {
        if (entries[i].usri0_name != nullptr) names.emplace_back(entries[i].usri0_name);
      }
      more = status == ERROR_MORE_DATA;
    }
    std::vector<TLocalUser> users;
    for (const std::wstring& name : names) {
      if (users.size() == limit) {
        truncated = true;
        break;
      }
      const std::optional<DWORD> flags = AccountFlags(name.c_str());
      users.push_back({win::Narrow(name),
                       {{"enabled", YesNo(flags, UF_ACCOUNTDISABLE, false)},
                        {"password never expires", YesNo(flags, UF_DONT_EXPIRE_PASSWD, true)},
                        {"administrator", administrators.contains(name) ? "yes" : "no"}}});
    }
    return users;
  }
};

}  // namespace

std::unique_ptr<TLocalUsers> MakeSystemLocalUsers() { return std::make_unique<TNetUsers>(); }

}  // namespace warderon
