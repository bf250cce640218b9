// The LDAP client over OpenLDAP's libldap. Certificates are verified
// (against the system's store, or the CA file the settings name); a
// password goes out only over TLS.
#include <ldap.h>

#include <memory>

#include "platform/ldap_client.h"

namespace warderon {
namespace {

struct TLdapUnbind {
  void operator()(LDAP* handle) const { ldap_unbind_ext_s(handle, nullptr, nullptr); }
};
struct TMessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
struct TMemFree {
  void operator()(char* text) const { ldap_memfree(text); }
};
struct TBerFree {
  void operator()(BerElement* element) const { ber_free(element, 0); }
};
struct TValuesFree {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
using THandle = std::unique_ptr<LDAP, TLdapUnbind>;

[[noreturn]] void Fail(const std::string& what, int code) {
  throw TDirectoryError("directory: " + what + ": " + ldap_err2string(code));
}

void SetOption(LDAP* handle, int option, const void* value, const char* what) {
  const int code = ldap_set_option(handle, option, value);
  if (code != LDAP_OPT_SUCCESS) Fail(std::string("cannot set ") + what, code);
}

class TLibLdapSession final : public TLdapSession {
 public:
  TLibLdapSession(THandle handle, int timeout_seconds)
      : handle_(std::move(handle)), timeout_seconds_(timeout_seconds) {}

  std::vector<TLdapEntry> Search(const std::string& base, TLdapScope scope,
                                 const std::string& filter,
                                 const std::vector<std::string>& attributes,
                                 int size_limit) override {
    std::vector<char*> names;
    for (const std::string& attribute : attributes) {
      names.push_back(const_cast<char*>(attribute.c_str()));
    }
    names.push_back(nullptr);
    timeval timeout{timeout_seconds_, 0};
    LDAPMessage* raw = nullptr;
    const int code = ldap_search_ext_s(
        handle_.get(), base.c_str(),
        scope == TLdapScope::Base ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE, filter.c_str(),
        names.data(), 0, nullptr, nullptr, &timeout, size_limit, &raw);
    const std::unique_ptr<LDAPMessage, TMessageFree> result(raw);
    // A search cut at the size limit still gives what it found.
    if (code != LDAP_SUCCESS && code != LDAP_SIZELIMIT_EXCEEDED) Fail("search " + filter, code);
    std::vector<TLdapEntry> entries;
    for (LDAPMessage* entry = ldap_first_entry(handle_.get(), result.get()); entry != nullptr;
         entry = ldap_next_entry(handle_.get(), entry)) {
      TLdapEntry found;
      if (const std::unique_ptr<char, TMemFree> dn(ldap_get_dn(handle_.get(), entry)); dn) {
        found.dn = dn.get();
      }
      BerElement* raw_ber = nullptr;
      for (char* raw_name = ldap_first_attribute(handle_.get(), entry, &raw_ber);
           raw_name != nullptr; raw_name = ldap_next_attribute(handle_.get(), entry, raw_ber)) {
        const std::unique_ptr<char, TMemFree> name(raw_name);
        const std::unique_ptr<berval*, TValuesFree> values(
            ldap_get_values_len(handle_.get(), entry, name.get()));
        std::vector<std::string> texts;
        for (berval** value = values.get(); value != nullptr && *value != nullptr; ++value) {
          texts.emplace_back((*value)->bv_val, (*value)->bv_len);
        }
        found.attributes.emplace_back(name.get(), std::move(texts));
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

class TLibLdapClient final : public TLdapClient {
 public:
  std::unique_ptr<TLdapSession> Open(const TDirectoryServer& server) override {
    const bool with_password = !server.user.empty();
    if (with_password && server.tls == TDirectoryTls::None) {
      throw TDirectorySecurityError(
          "directory: a bind with a password needs TLS (ADTls starttls or ldaps); the password "
          "was not sent");
    }
    const std::string uri =
        std::string(server.tls == TDirectoryTls::Ldaps ? "ldaps://" : "ldap://") + server.host +
        ":" + std::to_string(server.port);
    LDAP* raw = nullptr;
    int code = ldap_initialize(&raw, uri.c_str());
    THandle handle(raw);
    if (code != LDAP_SUCCESS) Fail("cannot use " + uri, code);
    const int version = LDAP_VERSION3;
    SetOption(handle.get(), LDAP_OPT_PROTOCOL_VERSION, &version, "the protocol version");
    const timeval timeout{server.timeout_seconds, 0};
    SetOption(handle.get(), LDAP_OPT_NETWORK_TIMEOUT, &timeout, "the network time-out");
    SetOption(handle.get(), LDAP_OPT_TIMEOUT, &timeout, "the time-out");
    SetOption(handle.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referrals");
    if (server.tls != TDirectoryTls::None) {
      const int demand = LDAP_OPT_X_TLS_DEMAND;
      SetOption(handle.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &demand, "certificate checks");
      if (!server.ca_file.empty()) {
        SetOption(handle.get(), LDAP_OPT_X_TLS_CACERTFILE, server.ca_file.c_str(), "the CA file");
      }
      const int fresh = 0;
      SetOption(handle.get(), LDAP_OPT_X_TLS_NEWCTX, &fresh, "the TLS context");
    }
    if (server.tls == TDirectoryTls::StartTls) {
      code = ldap_start_tls_s(handle.get(), nullptr, nullptr);
      // A server that cannot be reached is an unreachable directory;
      // anything else means TLS itself failed.
      if (code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT) {
        Fail("cannot reach " + uri, code);
      }
      if (code != LDAP_SUCCESS) {
        throw TDirectorySecurityError("directory: TLS with " + uri + " failed (" +
                                      ldap_err2string(code) + "); nothing was sent");
      }
    }
    berval credentials{};
    credentials.bv_val = const_cast<char*>(server.password.c_str());
    credentials.bv_len = with_password ? server.password.size() : 0;
    code = ldap_sasl_bind_s(handle.get(), with_password ? server.user.c_str() : nullptr,
                            LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
    if (code != LDAP_SUCCESS) {
      Fail(with_password ? "bind as " + server.user + " to " + uri : "anonymous bind to " + uri,
           code);
    }
    return std::make_unique<TLibLdapSession>(std::move(handle), server.timeout_seconds);
  }
};

}  // namespace

std::unique_ptr<TLdapClient> MakeSystemLdapClient() { return std::make_unique<TLibLdapClient>(); }

TDirectoryTls AutomaticDirectoryTls(bool with_password) {
  return with_password ? TDirectoryTls::StartTls : TDirectoryTls::None;
}

}  // namespace warderon
