// Store-and-forward delivery, measured through the dispatcher with real
// outbox files and a real rsyslog (started by scripts/bench):
//   1. one alert of 100,000 detail lines while the collector is down (the
//      lines go to the outbox) against the same alert sent over UDP;
//   2. a backlog of 100,000 lines drained over RELP with TLS against the
//      same lines sent over plain TCP as they are raised.
//   outbox_bench FOLDER TCP-PORT RELP-TLS-PORT CA CERT KEY RELP-PORT
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "alerts/outbox.h"
#include "alerts/smtp_module.h"
#include "alerts/syslog_sender.h"
#include "platform/net/socket.h"
#include "platform/store/memory_policy_backend.h"
#include "platform/time/clock.h"
#include "policy/policy_store.h"

namespace {

using namespace warderon;
using TSeconds = std::chrono::duration<double>;

constexpr std::size_t kLines = 100000;

class TFixedClock final : public TClock {
 public:
  TDateTime LocalNow() override { return ToDateTime({2026, 12, 8, 9, 30, 0, 0}); }
  void Sleep(std::chrono::milliseconds, const TStopEvent&) override {}
};

class TNoMail final : public TMailTransport {
 public:
  void SendMail(const TMailServer&, const TMailMessage&, TDeadline) override {}
};

struct TSetup {
  std::string transport;
  std::uint16_t port = 0;
  bool tls = false;
};

class TBench {
 public:
  TBench(std::string folder, std::string ca, std::string cert, std::string key)
      : folder_(std::move(folder)),
        ca_(std::move(ca)),
        cert_(std::move(cert)),
        key_(std::move(key)) {}

  // The wall time of dispatching one alert of kLines lines.
  double OneAlert(const TSetup& setup) {
    TRun run(*this, setup);
    const auto start = std::chrono::steady_clock::now();
    run.dispatcher.BeginDispatchRound();
    run.dispatcher.SendAlertWithDetails(2, "file changes", "", Lines());
    const double elapsed = TSeconds(std::chrono::steady_clock::now() - start).count();
    run.dispatcher.TakeDeliveryFailures();
    return elapsed;
  }

  // Queues kLines lines (the collector down), then the wall time of the
  // round that drains them; fails unless the outbox is empty after it.
  double Drain(const TSetup& setup) {
    TSetup down = setup;
    down.port = ClosedPort();
    {
      TRun run(*this, down);
      run.dispatcher.BeginDispatchRound();
      run.dispatcher.SendAlertWithDetails(2, "file changes", "", Lines());
      run.dispatcher.TakeDeliveryFailures();
    }
    TRun run(*this, setup);
    const auto start = std::chrono::steady_clock::now();
    run.dispatcher.BeginDispatchRound();
    const double elapsed = TSeconds(std::chrono::steady_clock::now() - start).count();
    const std::string failures = run.dispatcher.TakeDeliveryFailures();
    if (!run.syslog_outbox.Empty()) std::printf("  NOT DRAINED: %s\n", failures.c_str());
    return elapsed;
  }

 private:
  // A dispatcher over the outbox files of the folder, as a process has.
  struct TRun {
    TRun(TBench& bench, const TSetup& setup)
        : mail_outbox(bench.folder_ + "/outbox-mail.dat"),
          syslog_outbox(bench.folder_ + "/outbox-syslog.dat"),
          client(
              clock, [] { return std::string("ws042"); }, 4711, setup.port),
          dispatcher(store, mail, client, [] { return std::string("ws042"); }) {
      store.WritePolicyBool("general", "SyslogEnabled", true);
      store.WritePolicyString("general", "Syslog", "127.0.0.1");
      store.WritePolicyString("general", "SyslogFormat", "rfc5424");
      store.WritePolicyString("general", "SyslogTransport", setup.transport);
      store.WritePolicyInteger("general", "SyslogPort", setup.port);
      store.WritePolicyInteger("general", "OutboxMaxMB", 512);
      if (setup.tls) {
        store.WritePolicyBool("general", "SyslogRelpTls", true);
        store.WritePolicyString("general", "SyslogCAFile", bench.ca_);
        store.WritePolicyString("general", "SyslogCertFile", bench.cert_);
        store.WritePolicyString("general", "SyslogKeyFile", bench.key_);
      }
      TSmtpModule::TOutboxes outboxes;
      outboxes.mail = &mail_outbox;
      outboxes.syslog = &syslog_outbox;
      outboxes.local_now = [this] { return clock.LocalNow(); };
      outboxes.mail_date = [] { return std::string("Tue, 08 Dec 2026 09:30:00 +0000"); };
      dispatcher.SetOutboxes(std::move(outboxes));
    }
    TMemoryPolicyBackend backend;
    TPolicyStore store{backend};
    TFixedClock clock;
    TNoMail mail;
    TOutbox mail_outbox;
    TOutbox syslog_outbox;
    TSyslogClient client;
    TSmtpModule dispatcher;
  };

  static std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    lines.reserve(kLines);
    for (std::size_t i = 0; i < kLines; ++i) {
      lines.push_back(" New File : /srv/www/site/assets/image-" + std::to_string(i) + ".png");
    }
    return lines;
  }

  static std::uint16_t ClosedPort() {
    auto listener = ListenOnLoopback();
    return listener->Port();  // closed again when the listener goes
  }

  std::string folder_, ca_, cert_, key_;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: outbox_bench FOLDER TCP-PORT RELP-TLS-PORT CA CERT KEY RELP-PORT\n");
    return 2;
  }
  TBench bench(argv[1], argv[4], argv[5], argv[6]);
  const auto tcp_port = static_cast<std::uint16_t>(std::stoi(argv[2]));
  const auto relp_port = static_cast<std::uint16_t>(std::stoi(argv[3]));
  const auto relp_plain_port = static_cast<std::uint16_t>(std::stoi(argv[7]));
  const auto udp_sink = BindUdpOnLoopback();  // takes the datagrams, never read

  std::vector<double> up, down;
  for (int round = 0; round < 3; ++round) {
    up.push_back(bench.OneAlert({"udp", udp_sink->Port(), false}));
    std::filesystem::remove(std::string(argv[1]) + "/outbox-syslog.dat");
    down.push_back(bench.OneAlert({"tcp", 1, false}));  // nothing listens on port 1
    std::filesystem::remove(std::string(argv[1]) + "/outbox-syslog.dat");
  }
  std::printf("outbox, one alert of %zu detail lines (median of 3)\n", kLines);
  std::printf("  collector up, UDP:        %6.3f s\n", Median(up));
  std::printf("  collector down, queued:   %6.3f s  (%.2f x up; target at most 1.10 x)\n",
              Median(down), Median(down) / Median(up));

  std::vector<double> tcps, tcp_drains, relp_plains, relps;
  for (int round = 0; round < 3; ++round) {
    tcps.push_back(bench.OneAlert({"tcp", tcp_port, false}));
    tcp_drains.push_back(bench.Drain({"tcp", tcp_port, false}));
    relp_plains.push_back(bench.Drain({"relp", relp_plain_port, false}));
    relps.push_back(bench.Drain({"relp", relp_port, true}));
  }
  const double tcp = Median(tcps);
  const double tcp_drained = Median(tcp_drains);
  const double relp_plain = Median(relp_plains);
  const double relp = Median(relps);
  std::printf("a backlog of %zu lines to rsyslog (median of 3)\n", kLines);
  std::printf("  plain TCP, as raised:     %6.3f s  (%.0f lines/s)\n", tcp, kLines / tcp);
  std::printf("  plain TCP, drained:       %6.3f s\n", tcp_drained);
  std::printf("  RELP, drained:            %6.3f s\n", relp_plain);
  std::printf(
      "  RELP over TLS, drained:   %6.3f s  (%.0f lines/s, %.2f x TCP's rate; targets at "
      "least 0.50 x and under 20 s)\n",
      relp, kLines / relp, tcp / relp);
  return 0;
}
