// A small LDAP client: one bound session to a directory server, and subtree
// searches that return each entry's attributes. Libldap on Linux, the
// system's LDAP library (wldap32) on Windows.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace warderon {

// Connecting, binding or searching failed.
class TDirectoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The directory cannot be used as set, at any run: the settings would
// expose the password, TLS could not be had where it was required (a
// certificate refused, a negotiation that failed), or the bind was refused.
// The monitor reports it; an unreachable directory is only a TDirectoryError.
class TDirectorySecurityError : public TDirectoryError {
 public:
  using TDirectoryError::TDirectoryError;
};

enum class TDirectoryTls { None, StartTls, Ldaps };

struct TDirectoryServer {
  std::string host;
  int port = 389;
  TDirectoryTls tls = TDirectoryTls::StartTls;
  std::string ca_file;  // empty: the system's trust store
  std::string user;     // empty: the program's own identity, or anonymous
  std::string password;
  int timeout_seconds = 30;  // connecting, and each operation
};

struct TLdapEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
};

enum class TLdapScope { Base, Subtree };

class TLdapSession {
 public:
  virtual ~TLdapSession() = default;
  // At most size_limit entries; raises TDirectoryError on failure.
  virtual std::vector<TLdapEntry> Search(const std::string& base, TLdapScope scope,
                                         const std::string& filter,
                                         const std::vector<std::string>& attributes,
                                         int size_limit) = 0;
};

class TLdapClient {
 public:
  virtual ~TLdapClient() = default;
  // Connects and binds: a user's password only ever over TLS (Windows may
  // instead bind by negotiation, which never sends it). Raises
  // TDirectorySecurityError when the settings would send it in clear.
  virtual std::unique_ptr<TLdapSession> Open(const TDirectoryServer& server) = 0;
};

std::unique_ptr<TLdapClient> MakeSystemLdapClient();

// Whether a bind's result code (RFC 4511 numbers) means the server will not
// let this account in, which every run would meet again: strong or
// confidential authentication required, a method it does not support,
// inappropriate authentication, wrong credentials, no access, unwilling, a
// malformed name, or an unknown method.
inline bool IsRefusedBind(long code) {
  switch (code) {
    case 7:   // authMethodNotSupported
    case 8:   // strongerAuthRequired
    case 13:  // confidentialityRequired
    case 34:  // invalidDNSyntax
    case 48:  // inappropriateAuthentication
    case 49:  // invalidCredentials
    case 50:  // insufficientAccessRights
    case 53:  // unwillingToPerform
    case 86:  // the client libraries' "unknown authentication method"
      return true;
    default:
      return false;
  }
}

// What "auto" means for TLS on this platform: Windows binds a user by
// negotiation, which never sends the password, so it needs no TLS; Linux
// binds a user with StartTLS. Without a user, no TLS.
TDirectoryTls AutomaticDirectoryTls(bool with_password);

}  // namespace warderon
