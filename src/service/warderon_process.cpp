#include "service/warderon_process.h"

#include "alerts/smtp_client.h"
#include "alerts/syslog_sender.h"
#include "platform/host_name.h"
#include "platform/mail_date.h"

namespace warderon {
namespace {

// The monitors, in start-up order. Each monitor adds its row here as it is
// built; the cycle itself never changes for that.
void AddMonitorRows(TModuleTable& /*modules*/, TPolicyStore& /*store*/, TAlertSender& /*alerts*/,
                    TCycleState& /*cycle*/, TBaselineLists& /*baselines*/) {}

}  // namespace

TWarderonProcess::TWarderonProcess(std::unique_ptr<TPolicyBackend> backend)
    : backend_(std::move(backend)),
      store_(*backend_),
      clock_(MakeSystemClock()),
      mail_(std::make_unique<TSmtpClient>(GetLocalHostName, MailDateNow)),
      syslog_(std::make_unique<TUdpSyslogSender>(*clock_, GetLocalHostName)),
      alerts_(store_, *mail_, *syslog_, GetLocalHostName),
      baselines_(store_, alerts_, cycle_),
      beeper_(MakeSystemBeeper()),
      worker_(store_, alerts_, cycle_, modules_, *clock_, *beeper_) {
  AddMonitorRows(modules_, store_, alerts_, cycle_, baselines_);
}

void TWarderonProcess::Stop() {
  std::call_once(stopped_, [this] {
    try {
      alerts_.SendAlert(kAlertStopping, "Warderon stopping", "Warderon is stopping");
    } catch (...) {
      // A sink failed; stopping goes on regardless.
    }
    worker_.RequestTermination();
  });
}

}  // namespace warderon
