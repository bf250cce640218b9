// The LDAP client over OpenLDAP's libldap. Certificates are verified
// (against the system's store, or the CA file the settings name); a
// password goes out only over TLS.
//
// Every operation is bounded: libldap's own time-outs do not reach a TLS
// handshake that the server never answers, so a watcher shuts the
// connection down when an operation outlasts its bound. What a search may
// bring is bounded too (entries, bytes, the size of one message), since the
// directory is input that others control.
#include <ldap.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "core/text.h"
#include "platform/net/ldap_client.h"
#include "platform/net/operation_bound.h"

namespace warderon {
namespace {

// The most one LDAP message, and all the values of one search, may hold.
constexpr ber_len_t kMaxMessageBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxSearchBytes = 64 * 1024 * 1024;

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
using TMessage = std::unique_ptr<LDAPMessage, TMessageFree>;

[[noreturn]] void Fail(const std::string& what, int code) {
  throw TDirectoryError("directory: " + what + ": " + ldap_err2string(code));
}

void SetOption(LDAP* handle, int option, const void* value, const char* what) {
  const int code = ldap_set_option(handle, option, value);
  if (code != LDAP_OPT_SUCCESS) Fail(std::string("cannot set ") + what, code);
}

class TLibLdapSession final : public TLdapSession {
 public:
  explicit TLibLdapSession(int timeout_seconds) : timeout_seconds_(timeout_seconds) {
    callbacks_.lc_add = &OnConnect;
    callbacks_.lc_del = &OnClose;
    callbacks_.lc_arg = this;
  }

  void Connect(const TDirectoryServer& server) {
    const bool with_password = !server.user.empty();
    const std::string uri =
        std::string(server.tls == TDirectoryTls::Ldaps ? "ldaps://" : "ldap://") + server.host +
        ":" + std::to_string(server.port);
    LDAP* raw = nullptr;
    int code = ldap_initialize(&raw, uri.c_str());
    handle_.reset(raw);
    if (code != LDAP_SUCCESS) Fail("cannot use " + uri, code);
    const int version = LDAP_VERSION3;
    SetOption(handle_.get(), LDAP_OPT_PROTOCOL_VERSION, &version, "the protocol version");
    const timeval timeout{timeout_seconds_, 0};
    SetOption(handle_.get(), LDAP_OPT_NETWORK_TIMEOUT, &timeout, "the network time-out");
    SetOption(handle_.get(), LDAP_OPT_TIMEOUT, &timeout, "the time-out");
    SetOption(handle_.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referrals");
    SetOption(handle_.get(), LDAP_OPT_CONNECT_CB, &callbacks_, "the connection watch");
    if (server.tls != TDirectoryTls::None) {
      const int demand = LDAP_OPT_X_TLS_DEMAND;
      SetOption(handle_.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &demand, "certificate checks");
      if (!server.ca_file.empty()) {
        SetOption(handle_.get(), LDAP_OPT_X_TLS_CACERTFILE, server.ca_file.c_str(), "the CA file");
      }
      const int fresh = 0;
      SetOption(handle_.get(), LDAP_OPT_X_TLS_NEWCTX, &fresh, "the TLS context");
    }
    if (server.tls == TDirectoryTls::StartTls) {
      {
        const TArmed armed(bound_, timeout_seconds_);
        code = ldap_start_tls_s(handle_.get(), nullptr, nullptr);
      }
      if (code != LDAP_SUCCESS) {
        FailUnlessRefused("StartTLS with " + uri, code, /*tls=*/true, server.password);
      }
    }
    berval credentials{};
    credentials.bv_val = const_cast<char*>(server.password.c_str());
    credentials.bv_len = with_password ? server.password.size() : 0;
    {
      const TArmed armed(bound_, timeout_seconds_);
      code = ldap_sasl_bind_s(handle_.get(), with_password ? server.user.c_str() : nullptr,
                              LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
    }
    if (code != LDAP_SUCCESS) {
      FailUnlessRefused(
          (with_password ? "bind as " + server.user + " to " : "anonymous bind to ") + uri, code,
          server.tls == TDirectoryTls::Ldaps, server.password);
    }
  }

  std::vector<TLdapEntry> Search(const std::string& base, TLdapScope scope,
                                 const std::string& filter,
                                 const std::vector<std::string>& attributes,
                                 int size_limit) override {
    std::vector<char*> names;
    for (const std::string& attribute : attributes) {
      names.push_back(const_cast<char*>(attribute.c_str()));
    }
    names.push_back(nullptr);
    const TArmed armed(bound_, timeout_seconds_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds_);
    timeval timeout{timeout_seconds_, 0};
    int message_id = 0;
    const int code = ldap_search_ext(
        handle_.get(), base.c_str(),
        scope == TLdapScope::Base ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE, filter.c_str(),
        names.data(), 0, nullptr, nullptr, &timeout, size_limit, &message_id);
    if (code != LDAP_SUCCESS) Fail("search " + filter, code);
    // One message at a time, so that what the server sends is counted as
    // it comes: a server may ignore the size limit, or never stop.
    std::vector<TLdapEntry> entries;
    std::size_t bytes = 0;
    int references = 0;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      timeval wait{static_cast<time_t>(std::max<long long>(left.count(), 0) / 1000000),
                   static_cast<suseconds_t>(std::max<long long>(left.count(), 0) % 1000000)};
      LDAPMessage* raw = nullptr;
      const int type = ldap_result(handle_.get(), message_id, LDAP_MSG_ONE, &wait, &raw);
      const TMessage message(raw);
      if (type == 0 || bound_.Fired()) {
        Abandon(message_id);
        throw TDirectoryError("directory: search " + filter + ": no answer within " +
                              std::to_string(timeout_seconds_) + " s");
      }
      if (type < 0) {
        int error = LDAP_OTHER;
        ldap_get_option(handle_.get(), LDAP_OPT_RESULT_CODE, &error);
        Fail("search " + filter, error);
      }
      if (type == LDAP_RES_SEARCH_ENTRY) {
        if (static_cast<int>(entries.size()) >= size_limit) {
          Abandon(message_id);  // the limit the server was asked to keep
          break;
        }
        entries.push_back(ReadEntry(message.get(), bytes));
        if (bytes > kMaxSearchBytes) {
          Abandon(message_id);
          throw TDirectoryError("directory: search " + filter + ": the answer holds more than " +
                                std::to_string(kMaxSearchBytes) + " bytes; refused");
        }
      } else if (type == LDAP_RES_SEARCH_REFERENCE) {
        if (++references > size_limit) {  // not followed, only counted
          Abandon(message_id);
          break;
        }
      } else if (type == LDAP_RES_SEARCH_RESULT) {
        int result = LDAP_OTHER;
        ldap_parse_result(handle_.get(), message.get(), &result, nullptr, nullptr, nullptr, nullptr,
                          0);
        // A search cut at the size limit still gives what it found.
        if (result != LDAP_SUCCESS && result != LDAP_SIZELIMIT_EXCEEDED) {
          Fail("search " + filter, result);
        }
        break;
      }
    }
    return entries;
  }

 private:
  static int OnConnect(LDAP* /*handle*/, Sockbuf* buffer, LDAPURLDesc* /*where*/,
                       sockaddr* /*address*/, ldap_conncb* callbacks) {
    auto* session = static_cast<TLibLdapSession*>(callbacks->lc_arg);
    session->connected_ = true;
    int socket = -1;
    if (ber_sockbuf_ctrl(buffer, LBER_SB_OPT_GET_FD, &socket) == 1 && socket >= 0) {
      session->bound_.SetSocket(socket);
    }
    ber_len_t most = kMaxMessageBytes;
    ber_sockbuf_ctrl(buffer, LBER_SB_OPT_SET_MAX_INCOMING, &most);
    return 0;
  }
  static void OnClose(LDAP* /*handle*/, Sockbuf* /*buffer*/, ldap_conncb* /*callbacks*/) {}

  // A directory that was reached and said no (a certificate it could not
  // verify, TLS it could not agree, a bind it refused) is a refusal, which
  // the monitor reports; one that could not be reached, or did not answer
  // in time, is only unreachable.
  [[noreturn]] void FailUnlessRefused(const std::string& what, int code, bool tls,
                                      const std::string& password) {
    if (bound_.Fired()) {
      throw TDirectoryError("directory: " + what + ": no answer within " +
                            std::to_string(timeout_seconds_) + " s");
    }
    const bool lost = code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR;
    if (!connected_ || code == LDAP_TIMEOUT || (lost && !tls)) Fail(what, code);
    std::string detail = ldap_err2string(code);
    char* diagnostic = nullptr;
    ldap_get_option(handle_.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic);
    const std::unique_ptr<char, TMemFree> owned(diagnostic);
    if (diagnostic != nullptr && *diagnostic != '\0')
      detail += " (" + std::string(diagnostic) + ")";
    detail = WithoutSecrets(detail, {password});
    if (tls && (lost || !IsRefusedBind(code))) {
      throw TDirectorySecurityError("directory: " + what + ": TLS failed: " + detail +
                                    "; nothing was sent");
    }
    if (IsRefusedBind(code)) throw TDirectorySecurityError("directory: " + what + ": " + detail);
    Fail(what, code);
  }

  void Abandon(int message_id) { ldap_abandon_ext(handle_.get(), message_id, nullptr, nullptr); }

  // One entry with its attributes; adds the size of its values to bytes.
  TLdapEntry ReadEntry(LDAPMessage* entry, std::size_t& bytes) {
    TLdapEntry found;
    if (const std::unique_ptr<char, TMemFree> dn(ldap_get_dn(handle_.get(), entry)); dn) {
      found.dn = dn.get();
    }
    BerElement* raw_ber = nullptr;
    for (char* raw_name = ldap_first_attribute(handle_.get(), entry, &raw_ber); raw_name != nullptr;
         raw_name = ldap_next_attribute(handle_.get(), entry, raw_ber)) {
      const std::unique_ptr<char, TMemFree> name(raw_name);
      const std::unique_ptr<berval*, TValuesFree> values(
          ldap_get_values_len(handle_.get(), entry, name.get()));
      std::vector<std::string> texts;
      for (berval** value = values.get(); value != nullptr && *value != nullptr; ++value) {
        texts.emplace_back((*value)->bv_val, (*value)->bv_len);
        bytes += (*value)->bv_len;
      }
      found.attributes.emplace_back(name.get(), std::move(texts));
    }
    const std::unique_ptr<BerElement, TBerFree> ber(raw_ber);
    return found;
  }

  int timeout_seconds_;
  bool connected_ = false;
  // Declared before the handle, which refers to them until it is freed.
  TOperationBound bound_;
  ldap_conncb callbacks_{};
  THandle handle_;
};

class TLibLdapClient final : public TLdapClient {
 public:
  std::unique_ptr<TLdapSession> Open(const TDirectoryServer& server) override {
    if (!server.user.empty() && server.tls == TDirectoryTls::None) {
      throw TDirectorySecurityError(
          "directory: a bind with a password needs TLS (ADTls starttls or ldaps); the password "
          "was not sent");
    }
    auto session = std::make_unique<TLibLdapSession>(server.timeout_seconds);
    session->Connect(server);
    return session;
  }
};

}  // namespace

std::unique_ptr<TLdapClient> MakeSystemLdapClient() { return std::make_unique<TLibLdapClient>(); }

TDirectoryTls AutomaticDirectoryTls(bool with_password) {
  return with_password ? TDirectoryTls::StartTls : TDirectoryTls::None;
}

}  // namespace warderon
