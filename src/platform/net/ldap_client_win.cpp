// The LDAP client over the system's LDAP library. Without TLS a password is
// never sent: the bind is negotiated (Kerberos or NTLM). Without a user the
// program binds as itself (the machine account of a domain member), and
// anonymously when that is refused. Server certificates are checked against
// the machine's trust store.
#include "platform/win/win_support.h"

// The LDAP header needs the Windows types first.
#include <winldap.h>

// The encoding header needs the LDAP types.
#include <winber.h>

#include <memory>

#include "platform/net/ldap_client.h"

#ifndef SEC_WINNT_AUTH_IDENTITY_UNICODE
#define SEC_WINNT_AUTH_IDENTITY_UNICODE 0x2
#endif

namespace warderon {
namespace {

using win::Narrow;
using win::Widen;

struct TLdapUnbind {
  void operator()(LDAP* handle) const { ldap_unbind(handle); }
};
struct TMessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
struct TMemFree {
  void operator()(wchar_t* text) const { ldap_memfreeW(text); }
};
struct TBerFree {
  void operator()(BerElement* element) const { ber_free(element, 0); }
};
struct TValuesFree {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
using THandle = std::unique_ptr<LDAP, TLdapUnbind>;

[[noreturn]] void Fail(const std::string& what, ULONG code) {
  const wchar_t* text = ldap_err2stringW(code);
  throw TDirectoryError("directory: " + what + ": " +
                        (text != nullptr ? Narrow(text) : std::to_string(code)));
}

// A bind the server refused is said as such; any other failure is an
// unreachable or failing directory.
[[noreturn]] void FailBind(const std::string& what, ULONG code) {
  if (IsRefusedBind(static_cast<long>(code))) {
    const wchar_t* text = ldap_err2stringW(code);
    throw TDirectorySecurityError("directory: " + what + ": " +
                                  (text != nullptr ? Narrow(text) : std::to_string(code)));
  }
  Fail(what, code);
}

constexpr std::size_t kMaxSearchBytes = 64 * 1024 * 1024;

// The identity structure of a negotiated bind, in the library's layout.
struct TAuthIdentity {
  unsigned short* User;
  unsigned long UserLength;
  unsigned short* Domain;
  unsigned long DomainLength;
  unsigned short* Password;
  unsigned long PasswordLength;
  unsigned long Flags;
};

class TWinLdapSession final : public TLdapSession {
 public:
  TWinLdapSession(THandle handle, int timeout_seconds)
      : handle_(std::move(handle)), timeout_seconds_(timeout_seconds) {}

  std::vector<TLdapEntry> Search(const std::string& base, TLdapScope scope,
                                 const std::string& filter,
                                 const std::vector<std::string>& attributes,
                                 int size_limit) override {
    std::vector<std::wstring> wide_names;
    for (const std::string& attribute : attributes) wide_names.push_back(Widen(attribute));
    std::vector<wchar_t*> names;
    for (std::wstring& name : wide_names) names.push_back(name.data());
    names.push_back(nullptr);
    std::wstring wide_base = Widen(base);
    std::wstring wide_filter = Widen(filter);
    l_timeval timeout{timeout_seconds_, 0};
    LDAPMessage* raw = nullptr;
    const ULONG code = ldap_search_ext_sW(
        handle_.get(), wide_base.data(),
        scope == TLdapScope::Base ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE, wide_filter.data(),
        names.data(), 0, nullptr, nullptr, &timeout, static_cast<ULONG>(size_limit), &raw);
    const std::unique_ptr<LDAPMessage, TMessageFree> result(raw);
    if (code != LDAP_SUCCESS && code != LDAP_SIZELIMIT_EXCEEDED) Fail("search " + filter, code);
    // What a server sends beyond the size limit, or beyond 64 MB of
    // values, is not taken: the directory is input that others control.
    std::vector<TLdapEntry> entries;
    std::size_t bytes = 0;
    for (LDAPMessage* entry = ldap_first_entry(handle_.get(), result.get());
         entry != nullptr && static_cast<int>(entries.size()) < size_limit;
         entry = ldap_next_entry(handle_.get(), entry)) {
      TLdapEntry found;
      if (const std::unique_ptr<wchar_t, TMemFree> dn(ldap_get_dnW(handle_.get(), entry)); dn) {
        found.dn = Narrow(dn.get());
      }
      BerElement* raw_ber = nullptr;
      for (wchar_t* raw_name = ldap_first_attributeW(handle_.get(), entry, &raw_ber);
           raw_name != nullptr; raw_name = ldap_next_attributeW(handle_.get(), entry, raw_ber)) {
        const std::unique_ptr<wchar_t, TMemFree> name(raw_name);
        const std::unique_ptr<berval*, TValuesFree> values(
            ldap_get_values_lenW(handle_.get(), entry, name.get()));
        std::vector<std::string> texts;
        for (berval** value = values.get(); value != nullptr && *value != nullptr; ++value) {
          texts.emplace_back((*value)->bv_val, (*value)->bv_len);  // UTF-8 on the wire
          bytes += (*value)->bv_len;
        }
        if (bytes > kMaxSearchBytes) {
          throw TDirectoryError("directory: search " + filter + ": the answer holds more than " +
                                std::to_string(kMaxSearchBytes) + " bytes; refused");
        }
        found.attributes.emplace_back(Narrow(name.get()), std::move(texts));
      }
      const std::unique_ptr<BerElement, TBerFree> ber(raw_ber);
      entries.push_back(std::move(found));
    }
    return entries;
  }

 private:
  THandle handle_;
  int timeout_seconds_;
};

class TWinLdapClient final : public TLdapClient {
 public:
  std::unique_ptr<TLdapSession> Open(const TDirectoryServer& server) override {
    std::wstring host = Widen(server.host);
    const bool ldaps = server.tls == TDirectoryTls::Ldaps;
    THandle handle(ldap_sslinitW(host.data(), static_cast<ULONG>(server.port), ldaps ? 1 : 0));
    const std::string where = server.host + ":" + std::to_string(server.port);
    if (!handle) Fail("cannot use " + where, LdapGetLastError());
    ULONG version = LDAP_VERSION3;
    ldap_set_optionW(handle.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_optionW(handle.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    l_timeval timeout{server.timeout_seconds, 0};
    // Every synchronous call (StartTLS and the bind included) is bounded by
    // the send time-out; the server is asked to keep searches in it too.
    ldap_set_optionW(handle.get(), LDAP_OPT_SEND_TIMEOUT, &timeout);
    ULONG time_limit = static_cast<ULONG>(server.timeout_seconds);
    ldap_set_optionW(handle.get(), LDAP_OPT_TIMELIMIT, &time_limit);
    ULONG code = ldap_connect(handle.get(), &timeout);
    if (code != LDAP_SUCCESS) Fail("cannot connect to " + where, code);
    if (server.tls == TDirectoryTls::StartTls) {
      ULONG server_code = 0;
      code = ldap_start_tls_sW(handle.get(), &server_code, nullptr, nullptr, nullptr);
      if (code != LDAP_SUCCESS) {
        throw TDirectorySecurityError("directory: TLS with " + where + " failed; nothing was sent");
      }
    }
    const bool tls = server.tls != TDirectoryTls::None;
    if (server.user.empty()) {
      // As the program itself; anonymously when that is refused.
      code = ldap_bind_sW(handle.get(), nullptr, nullptr, LDAP_AUTH_NEGOTIATE);
      if (code != LDAP_SUCCESS) code = ldap_simple_bind_sW(handle.get(), nullptr, nullptr);
      if (code != LDAP_SUCCESS) FailBind("bind to " + where, code);
    } else if (tls) {
      std::wstring user = Widen(server.user);
      std::wstring password = Widen(server.password);
      code = ldap_simple_bind_sW(handle.get(), user.data(), password.data());
      if (code != LDAP_SUCCESS) FailBind("bind as " + server.user + " to " + where, code);
    } else {
      // DOMAIN\user or user@domain as the administrator wrote it.
      std::wstring user = Widen(server.user);
      std::wstring domain;
      if (const auto slash = user.find(L'\\'); slash != std::wstring::npos) {
        domain = user.substr(0, slash);
        user.erase(0, slash + 1);
      }
      std::wstring password = Widen(server.password);
      TAuthIdentity identity{reinterpret_cast<unsigned short*>(user.data()),
                             static_cast<unsigned long>(user.size()),
                             reinterpret_cast<unsigned short*>(domain.data()),
                             static_cast<unsigned long>(domain.size()),
                             reinterpret_cast<unsigned short*>(password.data()),
                             static_cast<unsigned long>(password.size()),
                             SEC_WINNT_AUTH_IDENTITY_UNICODE};
      code = ldap_bind_sW(handle.get(), nullptr, reinterpret_cast<wchar_t*>(&identity),
                          LDAP_AUTH_NEGOTIATE);
      if (code != LDAP_SUCCESS) {
        FailBind("negotiated bind as " + server.user + " to " + where, code);
      }
    }
    return std::make_unique<TWinLdapSession>(std::move(handle), server.timeout_seconds);
  }
};

}  // namespace

std::unique_ptr<TLdapClient> MakeSystemLdapClient() { return std::make_unique<TWinLdapClient>(); }

TDirectoryTls AutomaticDirectoryTls(bool) { return TDirectoryTls::None; }

}  // namespace warderon
