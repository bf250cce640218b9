// TLS on top of an open TCP connection (the client side): the server's
// certificate is verified against the system's trust store, or the CA file
// given, and must name the server. OpenSSL on Linux, SChannel on Windows.
#pragma once

#include <memory>
#include <string>

#include "platform/net/socket.h"

namespace warderon {

struct TTlsClientOptions {
  std::string server_name;  // the name (or IPv4 address) the certificate must carry
  std::string ca_file;      // PEM; empty: the system's trust store
  // The client's own certificate (chain) and key, PEM, for a server that
  // asks for one; empty: none is offered.
  std::string cert_file;
  std::string key_file;
};

// Performs the handshake before the deadline and returns the protected
// connection; raises TSocketError (naming the reason: an unknown CA, a
// wrong name, a server that speaks no TLS) on failure.
std::unique_ptr<TTcpConnection> StartTlsClient(std::unique_ptr<TTcpConnection> plain,
                                               const TTlsClientOptions& options,
                                               TDeadline deadline);

}  // namespace warderon
