// TLS with OpenSSL over memory buffers: the library encrypts into one
// buffer and decrypts from another, and the bytes travel over the plain
// connection with its deadlines, so no TLS step can outlast a bound.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/net/tls.h"

namespace warderon {
namespace {

struct TSslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct TContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

std::string LastSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown TLS error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

bool IsIpv4(const std::string& name) {
  in_addr address{};
  return inet_pton(AF_INET, name.c_str(), &address) == 1;
}

class TOpenSslConnection final : public TTcpConnection {
 public:
  TOpenSslConnection(std::unique_ptr<TTcpConnection> plain, const TTlsClientOptions& options)
      : plain_(std::move(plain)), peer_(options.server_name) {
    context_.reset(SSL_CTX_new(TLS_client_method()));
    if (!context_) Fail("set up TLS");
    SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
    const bool loaded =
        options.ca_file.empty()
            ? SSL_CTX_set_default_verify_paths(context_.get()) == 1
            : SSL_CTX_load_verify_locations(context_.get(), options.ca_file.c_str(), nullptr) == 1;
    if (!loaded)
      Fail("load the trusted certificates" +
           (options.ca_file.empty() ? std::string() : " of " + options.ca_file));
    if (!options.cert_file.empty()) {
      if (SSL_CTX_use_certificate_chain_file(context_.get(), options.cert_file.c_str()) != 1)
        Fail("load the client certificate " + options.cert_file);
      const std::string& key = options.key_file.empty() ? options.cert_file : options.key_file;
      if (SSL_CTX_use_PrivateKey_file(context_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
          SSL_CTX_check_private_key(context_.get()) != 1)
        Fail("load the client certificate's key " + key);
    }
    ssl_.reset(SSL_new(context_.get()));
    if (!ssl_) Fail("set up TLS");
    X509_VERIFY_PARAM* check = SSL_get0_param(ssl_.get());
    if (IsIpv4(peer_)) {
      X509_VERIFY_PARAM_set1_ip_asc(check, peer_.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(check, peer_.c_str(), 0);
      SSL_set_tlsext_host_name(ssl_.get(), peer_.c_str());
    }
    // The library owns both buffers once they are set.
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    incoming_ = incoming;
    outgoing_ = outgoing;
    SSL_set_bio(ssl_.get(), incoming, outgoing);
    SSL_set_connect_state(ssl_.get());
  }

  void Handshake(TDeadline deadline) {
    Drive([&] { return SSL_do_handshake(ssl_.get()); }, deadline, "TLS handshake");
  }

  void SendAll(std::string_view data, TDeadline deadline) override {
    while (!data.empty()) {
      std::size_t written = 0;
      Drive([&] { return SSL_write_ex(ssl_.get(), data.data(), data.size(), &written); }, deadline,
            "TLS send");
      data.remove_prefix(written);
    }
    Flush(deadline);
  }

  // What arrived unasked is looked at first: TLS 1.3 servers send session
  // tickets after the handshake, which are no word from the peer.
  // Records already received count as well: a collector's answers come as
  // many small records, and one read of the socket often brings many.
  bool ClosedOrSpoken() override {
    if (SSL_pending(ssl_.get()) > 0 || (BIO_ctrl_pending(incoming_) > 0 && PeekSpoken())) {
      return true;
    }
    while (plain_->ClosedOrSpoken()) {
      char chunk[16384];
      const std::size_t received =
          plain_->Receive(chunk, sizeof chunk, std::chrono::steady_clock::now());
      if (received == 0) return true;
      BIO_write(incoming_, chunk, static_cast<int>(received));
      if (PeekSpoken()) return true;
    }
    return false;
  }

  // Whatever else is whole already comes along, without waiting: the
  // library hands over one record a read.
  std::size_t Receive(char* buffer, std::size_t size, TDeadline deadline) override {
    std::size_t read = 0;
    const bool open = Drive([&] { return SSL_read_ex(ssl_.get(), buffer, size, &read); }, deadline,
                            "TLS receive");
    if (!open) return 0;
    while (read < size && (SSL_pending(ssl_.get()) > 0 || BIO_ctrl_pending(incoming_) > 0)) {
      std::size_t more = 0;
      ERR_clear_error();
      // A record not yet whole, or the peer's close, is for the next call.
      if (SSL_read_ex(ssl_.get(), buffer + read, size - read, &more) != 1) break;
      read += more;
    }
    Flush(deadline);
    return read;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw TSocketError("TLS with " + peer_ + ": cannot " + what + ": " + LastSslError());
  }

  // Whether what was received holds data or the end of the session, or
  // only records without data (such as session tickets, which may need an
  // answer sent).
  bool PeekSpoken() {
    ERR_clear_error();
    std::size_t read = 0;
    char peek[1];
    const int result = SSL_peek_ex(ssl_.get(), peek, sizeof peek, &read);
    if (result == 1) return true;                                               // data
    if (SSL_get_error(ssl_.get(), result) != SSL_ERROR_WANT_READ) return true;  // closed, broken
    Flush(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    return false;
  }

  // Sends what the library has encrypted.
  void Flush(TDeadline deadline) {
    char chunk[16384];
    for (int pending; (pending = BIO_read(outgoing_, chunk, sizeof chunk)) > 0;) {
      plain_->SendAll(std::string_view(chunk, static_cast<std::size_t>(pending)), deadline);
    }
  }

  // Runs a TLS step until it is done, moving bytes both ways; false when
  // the peer closed the connection.
  template <class TStep>
  bool Drive(TStep step, TDeadline deadline, const char* what) {
    for (;;) {
      ERR_clear_error();
      const int result = step();
      Flush(deadline);
      if (result == 1) return true;
      const int error = SSL_get_error(ssl_.get(), result);
      if (error == SSL_ERROR_ZERO_RETURN) return false;
      if (error != SSL_ERROR_WANT_READ) {
        const long verify = SSL_get_verify_result(ssl_.get());
        if (verify != X509_V_OK) {
          throw TSocketError("TLS with " + peer_ + ": the certificate is not trusted: " +
                             X509_verify_cert_error_string(verify));
        }
        Fail(std::string("complete the ") + what);
      }
      char chunk[16384];
      const std::size_t received = plain_->Receive(chunk, sizeof chunk, deadline);
      if (received == 0) {
        if (SSL_is_init_finished(ssl_.get()) != 0) return false;
        throw TSocketError("TLS with " + peer_ + ": the server closed the connection during the " +
                           what);
      }
      BIO_write(incoming_, chunk, static_cast<int>(received));
    }
  }

  std::unique_ptr<TTcpConnection> plain_;
  std::string peer_;
  std::unique_ptr<SSL_CTX, TContextFree> context_;
  std::unique_ptr<SSL, TSslFree> ssl_;
  BIO* incoming_ = nullptr;
  BIO* outgoing_ = nullptr;
};

}  // namespace

std::unique_ptr<TTcpConnection> StartTlsClient(std::unique_ptr<TTcpConnection> plain,
                                               const TTlsClientOptions& options,
                                               TDeadline deadline) {
  auto connection = std::make_unique<TOpenSslConnection>(std::move(plain), options);
  connection->Handshake(deadline);
  return connection;
}

}  // namespace warderon
