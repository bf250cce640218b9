// The TLS client against an OpenSSL server run by the test, with a
// certificate for 127.0.0.1 made by the test: verification, and a kept
// connection that session tickets do not make look closed.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "fakes/test_backends.h"
#include "platform/net/tls.h"

namespace warderon::testing {
namespace {

TDeadline Soon() { return std::chrono::steady_clock::now() + std::chrono::seconds(5); }

// A self-signed certificate for 127.0.0.1, written as PEM to cert_path;
// the key stays in the returned context.
SSL_CTX* MakeServerContext(const std::string& cert_path) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  for (const auto& [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                   std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(certificate, key, EVP_sha256());
  FILE* file = std::fopen(cert_path.c_str(), "w");
  PEM_write_X509(file, certificate);
  std::fclose(file);
  SSL_CTX* server = SSL_CTX_new(TLS_server_method());
  SSL_CTX_use_certificate(server, certificate);
  SSL_CTX_use_PrivateKey(server, key);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return server;
}

// Serves one TLS connection: sends its session tickets, collects what the
// client sends until the client closes or `bytes` arrived, then sends the
// answers, each a record of its own and all in one write, and closes once
// the client did.
class TTlsPeer {
 public:
  TTlsPeer(SSL_CTX* context, std::size_t bytes, std::vector<std::string> answers = {})
      : listener_(ListenOnLoopback()),
        answers_(std::move(answers)),
        thread_([this, context, bytes] { Serve(context, bytes); }) {}
  ~TTlsPeer() { thread_.join(); }
  std::uint16_t Port() const { return listener_->Port(); }
  std::string Received() {
    thread_.join();
    thread_ = std::thread([] {});
    return received_;
  }
  int connections = 0;

 private:
  void Serve(SSL_CTX* context, std::size_t bytes) {
    auto connection = listener_->Accept(Soon());
    if (!connection) return;
    ++connections;
    SSL* ssl = SSL_new(context);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_accept_state(ssl);
    char chunk[16384];
    try {
      while (received_.size() < bytes) {
        const std::size_t got = connection->Receive(chunk, sizeof chunk, Soon());
        if (got == 0) break;
        BIO_write(in, chunk, static_cast<int>(got));
        int read = 0;
        do {
          read = SSL_read(ssl, chunk, sizeof chunk);
          if (read > 0) received_.append(chunk, static_cast<std::size_t>(read));
          for (int n; (n = BIO_read(out, chunk, sizeof chunk)) > 0;) {
            connection->SendAll(std::string_view(chunk, static_cast<std::size_t>(n)), Soon());
          }
        } while (read > 0);
      }
      if (!answers_.empty()) {
        for (const std::string& answer : answers_) {
          SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
        }
        std::string records;
        for (int n; (n = BIO_read(out, chunk, sizeof chunk)) > 0;) {
          records.append(chunk, static_cast<std::size_t>(n));
        }
        connection->SendAll(records, Soon());
        while (connection->Receive(chunk, sizeof chunk, Soon()) > 0) {
        }
      }
    } catch (const TSocketError&) {
    }
    SSL_free(ssl);
    // Accept a second connection, if one comes, only to count it.
    if (listener_->Accept(std::chrono::steady_clock::now() + std::chrono::milliseconds(300))) {
      ++connections;
    }
  }

  std::unique_ptr<TTcpListener> listener_;
  std::vector<std::string> answers_;
  std::string received_;
  std::thread thread_;
};

TEST(TlsClient, AVerifiedConnectionStaysUsableAfterSessionTickets) {
  const std::string cert = ScratchPath("tls-cert");
  SSL_CTX* server = MakeServerContext(cert);
  {
    TTlsPeer peer(server, 10);
    auto connection = StartTlsClient(ConnectTcp("127.0.0.1", peer.Port(), Soon()),
                                     {"127.0.0.1", cert, {}, {}}, Soon());
    connection->SendAll("hello", Soon());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the tickets arrive
    EXPECT_FALSE(connection->ClosedOrSpoken()) << "session tickets are no word from the peer";
    connection->SendAll("world", Soon());
    EXPECT_EQ(peer.Received(), "helloworld");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(connection->ClosedOrSpoken()) << "the peer has closed";
  }
  SSL_CTX_free(server);
}

// A collector answers each message with a small record: those that came in
// one read must neither wait for the socket to speak again nor come one a
// call.
TEST(TlsClient, RecordsAlreadyReceivedAreSpokenAndComeTogether) {
  const std::string cert = ScratchPath("tls-cert");
  SSL_CTX* server = MakeServerContext(cert);
  {
    std::vector<std::string> answers;
    for (int i = 0; i < 10; ++i) answers.push_back("ok" + std::to_string(i) + "\n");
    TTlsPeer peer(server, 5, answers);
    auto connection = StartTlsClient(ConnectTcp("127.0.0.1", peer.Port(), Soon()),
                                     {"127.0.0.1", cert, {}, {}}, Soon());
    connection->SendAll("hello", Soon());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // every answer is here
    char buffer[4096];
    ASSERT_EQ(connection->Receive(buffer, 4, Soon()), 4U);
    EXPECT_EQ(std::string(buffer, 4), "ok0\n");
    EXPECT_TRUE(connection->ClosedOrSpoken()) << "nine answers wait in what was received";
    const std::size_t rest = connection->Receive(buffer, sizeof buffer, Soon());
    EXPECT_EQ(std::string(buffer, rest), "ok1\nok2\nok3\nok4\nok5\nok6\nok7\nok8\nok9\n");
  }
  SSL_CTX_free(server);
}

TEST(TlsClient, ACertificateOfAnotherCaOrNameIsRefused) {
  const std::string cert = ScratchPath("tls-cert");
  const std::string other = ScratchPath("tls-other");
  SSL_CTX* server = MakeServerContext(cert);
  SSL_CTX* unused = MakeServerContext(other);
  for (const TTlsClientOptions& options : {TTlsClientOptions{"127.0.0.1", other, {}, {}},
                                           TTlsClientOptions{"localhost", cert, {}, {}}}) {
    TTlsPeer peer(server, 1);
    try {
      StartTlsClient(ConnectTcp("127.0.0.1", peer.Port(), Soon()), options, Soon());
      ADD_FAILURE() << "accepted for " << options.server_name << " with " << options.ca_file;
    } catch (const TSocketError& error) {
      EXPECT_NE(std::string(error.what()).find("not trusted"), std::string::npos) << error.what();
    }
  }
  SSL_CTX_free(unused);
  SSL_CTX_free(server);
}

}  // namespace
}  // namespace warderon::testing
