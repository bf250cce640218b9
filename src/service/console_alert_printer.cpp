#include "service/console_alert_printer.h"

#include <ostream>

namespace warderon {
namespace {

// Alert bodies use CR LF; a console wants plain line feeds.
std::string ConsoleLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

void TConsoleAlertPrinter::OnAlert(const std::string& subject, const std::string& body,
                                   const std::vector<std::string>& details) {
  out_ << ConsoleLines(subject) << '\n' << ConsoleLines(body) << '\n';
  for (const std::string& line : details) out_ << ConsoleLines(line) << '\n';
  out_ << '\n';
  out_.flush();
}

}  // namespace warderon
