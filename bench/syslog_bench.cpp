// 1,000 alerts of 10 detail lines to a collector over one connection: the
// time per alert over TLS against the same alerts over plain TCP, measured
// in the same run. The collector is a thread of this program (OpenSSL on
// the server side) that reads and discards; the certificate comes from the
// folder given (cert.pem, key.pem and ca.pem, made by scripts/bench).
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "alerts/syslog_sender.h"
#include "platform/net/socket.h"
#include "platform/time/clock.h"

namespace {

using namespace warderon;

constexpr int kAlerts = 1000;
constexpr int kLines = 10;

class TFixedClock final : public TClock {
 public:
  TDateTime LocalNow() override { return ToDateTime({2026, 12, 8, 9, 30, 0, 0}); }
  void Sleep(std::chrono::milliseconds, const TStopEvent&) override {}
};

// Accepts one connection and reads until it ends; with TLS when a context
// is given. The plain bytes of the TLS side come through memory buffers
// over the listener's connection, as the client's do.
void Collect(TTcpListener& listener, SSL_CTX* tls) {
  auto connection = listener.Accept(std::chrono::steady_clock::now() + std::chrono::seconds(30));
  if (!connection) return;
  const auto far = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(30); };
  char chunk[65536];
  if (tls == nullptr) {
    while (connection->Receive(chunk, sizeof chunk, far()) > 0) {
    }
    return;
  }
  SSL* ssl = SSL_new(tls);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_accept_state(ssl);
  for (;;) {
    const std::size_t got = connection->Receive(chunk, sizeof chunk, far());
    if (got == 0) break;
    BIO_write(in, chunk, static_cast<int>(got));
    for (;;) {
      const int read = SSL_read(ssl, chunk, sizeof chunk);
      char pending[16384];
      for (int n; (n = BIO_read(out, pending, sizeof pending)) > 0;) {
        connection->SendAll(std::string_view(pending, static_cast<std::size_t>(n)), far());
      }
      if (read <= 0) {
        if (SSL_get_error(ssl, read) != SSL_ERROR_WANT_READ) {
          std::fprintf(stderr, "collector: %s\n", ERR_error_string(ERR_get_error(), nullptr));
          SSL_free(ssl);
          return;
        }
        break;
      }
    }
  }
  SSL_free(ssl);
}

double MicrosPerAlert(TSyslogTarget target, SSL_CTX* server_tls) {
  auto listener = ListenOnLoopback();
  target.port = listener->Port();
  std::thread collector([&] {
    try {
      Collect(*listener, server_tls);
    } catch (const TSocketError&) {
      // the client went away
    }
  });
  TFixedClock clock;
  std::chrono::steady_clock::duration elapsed{};
  {
    TSyslogClient client(
        clock, [] { return std::string("ws042"); }, 4711);
    const std::string line(80, 'x');
    const auto start = std::chrono::steady_clock::now();
    for (int alert = 0; alert < kAlerts; ++alert) {
      for (int i = 0; i < kLines; ++i) {
        client.SendSyslog(target, 16, 4, line, {"service changes", 2, "", 0, "", {}, {}});
      }
    }
    elapsed = std::chrono::steady_clock::now() - start;
  }  // the client closes its connection: the collector ends
  collector.join();
  return std::chrono::duration<double, std::micro>(elapsed).count() / kAlerts;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: syslog_bench CERT-FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  SSL_CTX* server = SSL_CTX_new(TLS_server_method());
  if (SSL_CTX_use_certificate_file(server, (folder + "/cert.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(server, (folder + "/key.pem").c_str(), SSL_FILETYPE_PEM) != 1) {
    std::fprintf(stderr, "cannot load the certificate of %s\n", folder.c_str());
    return 1;
  }
  TSyslogTarget target("127.0.0.1");
  target.form = TSyslogForm::Rfc5424;
  target.transport = TSyslogTransport::Tcp;
  const double tcp = MicrosPerAlert(target, nullptr);
  target.transport = TSyslogTransport::Tls;
  target.ca_file = folder + "/ca.pem";
  const double tls = MicrosPerAlert(target, server);
  std::printf("syslog, %d alerts of %d lines over one connection (wall time per alert)\n", kAlerts,
              kLines);
  std::printf("  TCP: %7.1f us\n", tcp);
  std::printf("  TLS: %7.1f us  (%.2f x TCP; targets: at most 2 x TCP and under 1000 us)\n", tls,
              tls / tcp);
  SSL_CTX_free(server);
  return 0;
}
